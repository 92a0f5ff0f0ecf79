#include "platform/public_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

#include "platform/break.h"

namespace {

constexpr size_t kMaxPortName = 64;
constexpr int kRequestTimeoutMs = 1000;

bool SocketPath(const char* name, sockaddr_un& address) {
  address = sockaddr_un();
  address.sun_family = AF_UNIX;
  char directory[sizeof address.sun_path];
  if (!PortDirectory(directory, sizeof directory)) return false;
  int written = snprintf(address.sun_path, sizeof address.sun_path, "%s/%s",
                         directory, name);
  return written > 0 && static_cast<size_t>(written) < sizeof address.sun_path;
}

ScopedFd NewSocket() {
  return ScopedFd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
}

bool PeerIsUs(int fd) {
  struct ucred peer;
  socklen_t size = sizeof peer;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
         peer.uid == geteuid();
}

// Receives one datagram into `buffer`; its size, or -1 when there was
// none, it was empty or it did not fit.
ssize_t ReceiveDatagram(int fd, uint8_t* buffer, size_t size) {
  struct iovec part = {buffer, size};
  struct msghdr header = {};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  ssize_t got;
  do {
    got = recvmsg(fd, &header, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR && !BreakRequested());
  if (got <= 0 || (header.msg_flags & MSG_TRUNC)) return -1;
  return got;
}

bool SendDatagram(int fd, const uint8_t* data, size_t size) {
  ssize_t sent;
  do {
    sent = send(fd, data, size, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(size);
}

}  // namespace

ScopedFd::~ScopedFd() {
  if (fd_ >= 0) close(fd_);
}

ScopedFd::ScopedFd(ScopedFd&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

ScopedFd& ScopedFd::operator=(ScopedFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool ValidPortName(const char* name) {
  if (name == nullptr || name[0] == '\0' || name[0] == '.') return false;
  size_t length = 0;
  for (const char* c = name; *c != '\0'; ++c, ++length) {
    const bool allowed = (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') ||
                         (*c >= '0' && *c <= '9') || *c == '.' || *c == '_' ||
                         *c == '-';
    if (!allowed || length >= kMaxPortName) return false;
  }
  return true;
}

bool PortDirectory(char* path, size_t size) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  int written;
  if (runtime != nullptr && runtime[0] == '/') {
    written = snprintf(path, size, "%s/rexx", runtime);
  } else {
    written = snprintf(path, size, "/tmp/rexx-%u",
                       static_cast<unsigned>(geteuid()));
  }
  return written > 0 && static_cast<size_t>(written) < size;
}

bool PortDirectoryIsSafe(const char* path) {
  struct stat info;
  return lstat(path, &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

MsgPort FindPort(const char* name) {
  MsgPort port;
  sockaddr_un address;
  char directory[sizeof address.sun_path];
  if (!ValidPortName(name) || !PortDirectory(directory, sizeof directory) ||
      !PortDirectoryIsSafe(directory)) {
    return port;
  }
  if (!SocketPath(name, address)) {
    port.lookup = PortLookup::kSystemError;
    return port;
  }
  ScopedFd connection = NewSocket();
  if (!connection) {
    port.lookup = PortLookup::kSystemError;
    return port;
  }
  int result;
  do {
    result = connect(connection.get(), reinterpret_cast<sockaddr*>(&address),
                     sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0 || !PeerIsUs(connection.get())) return port;
  port.connection = std::move(connection);
  port.lookup = PortLookup::kFound;
  return port;
}

bool PutMsg(MsgPort& port, const RexxMsg& message) {
  uint8_t datagram[kMaxRexxDatagram];
  size_t size = EncodeRexxRequest(message, datagram);
  return port && size > 0 &&
         SendDatagram(port.connection.get(), datagram, size);
}

bool WaitPort(MsgPort& port) {
  struct pollfd watched[2] = {{port.connection.get(), POLLIN, 0},
                              {BreakFd(), POLLIN, 0}};
  while (!BreakRequested()) {
    int ready = poll(watched, BreakFd() >= 0 ? 2 : 1, -1);
    if (BreakRequested()) break;
    if (ready > 0 && watched[0].revents != 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

bool GetMsg(MsgPort& port, RexxMsg& message) {
  // One byte more than the largest reply, so that a larger one shows.
  uint8_t datagram[kMaxRexxDatagram + 1];
  ssize_t size = ReceiveDatagram(port.connection.get(), datagram,
                                 sizeof datagram);
  if (size < 0 || static_cast<size_t>(size) > kMaxRexxDatagram) return false;
  int32_t result1;
  bool has_result2;
  std::string_view result2;
  if (!DecodeRexxReply(std::span<const uint8_t>(datagram, size), result1,
                       has_result2, result2)) {
    return false;
  }
  message.rm_Result1 = result1;
  if (has_result2) {
    message.rm_Result2 = CreateArgstring(result2);
    if (!message.rm_Result2) return false;
  }
  return true;
}

HostPort::~HostPort() {
  struct stat named;
  if (lstat(path_.c_str(), &named) == 0 && S_ISSOCK(named.st_mode)) {
    unlink(path_.c_str());
  }
}

std::unique_ptr<HostPort> AddPort(const char* name, int* error) {
  int ignored;
  if (error == nullptr) error = &ignored;
  *error = 0;
  sockaddr_un address;
  char directory[sizeof address.sun_path];
  if (!ValidPortName(name)) {
    *error = EINVAL;
    return nullptr;
  }
  if (!PortDirectory(directory, sizeof directory) ||
      !SocketPath(name, address)) {
    *error = ENAMETOOLONG;
    return nullptr;
  }
  if (mkdir(directory, 0700) != 0 && errno != EEXIST) {
    *error = errno;
    return nullptr;
  }
  if (!PortDirectoryIsSafe(directory)) {
    *error = EPERM;
    return nullptr;
  }
  struct stat existing;
  if (lstat(address.sun_path, &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      *error = EEXIST;
      return nullptr;
    }
    ScopedFd probe = NewSocket();
    if (probe && connect(probe.get(), reinterpret_cast<sockaddr*>(&address),
                         sizeof address) == 0) {
      *error = EADDRINUSE;
      return nullptr;
    }
    unlink(address.sun_path);  // stale: its host is gone
  }
  ScopedFd listener = NewSocket();
  if (!listener ||
      bind(listener.get(), reinterpret_cast<sockaddr*>(&address),
           sizeof address) != 0 ||
      listen(listener.get(), 16) != 0) {
    *error = errno;
    return nullptr;
  }
  return std::unique_ptr<HostPort>(
      new HostPort(std::move(listener), address.sun_path));
}

bool WaitPort(HostPort& port, int timeout_ms) {
  struct pollfd watched[2] = {{port.fd(), POLLIN, 0}, {BreakFd(), POLLIN, 0}};
  if (BreakRequested()) return false;
  int ready = poll(watched, BreakFd() >= 0 ? 2 : 1, timeout_ms);
  return ready > 0 && !BreakRequested() && watched[0].revents != 0;
}

bool GetMsg(HostPort& port, HostMsg& message) {
  message.connection =
      ScopedFd(accept4(port.fd(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!message.connection) return false;
  struct pollfd watched = {message.connection.get(), POLLIN, 0};
  if (poll(&watched, 1, kRequestTimeoutMs) <= 0) return false;
  auto datagram = std::make_unique<uint8_t[]>(kMaxRexxDatagram + 1);
  ssize_t size = ReceiveDatagram(message.connection.get(), datagram.get(),
                                 kMaxRexxDatagram + 1);
  return size > 0 && static_cast<size_t>(size) <= kMaxRexxDatagram &&
         DecodeRexxRequest(std::span<const uint8_t>(datagram.get(), size),
                           message.message);
}

bool ReplyMsg(HostMsg& message, int32_t result1,
              const std::string_view* result2) {
  auto datagram = std::make_unique<uint8_t[]>(kMaxRexxDatagram);
  size_t size = EncodeRexxReply(
      result1, result2, std::span<uint8_t>(datagram.get(), kMaxRexxDatagram));
  bool sent = size > 0 &&
              SendDatagram(message.connection.get(), datagram.get(), size);
  message.connection = ScopedFd();
  return sent;
}
