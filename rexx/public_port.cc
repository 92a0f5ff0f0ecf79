#include "rexx/public_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

#include "platform/break.h"
#include "platform/errors.h"
#include "platform/wait.h"

namespace {

constexpr size_t kMaxPortName = 64;
constexpr int kRequestTimeoutMs = 1000;
constexpr int kConnectSliceMs = 100;
// How long a host waits for another to finish taking or leaving the same
// name: its probe of a busy host takes kRequestTimeoutMs at most.
constexpr int kLockWaitMs = 3000;
constexpr int kLockPollMs = 16;

bool SocketPath(const char* name, sockaddr_un& address) {
  address = sockaddr_un();
  address.sun_family = AF_UNIX;
  char directory[sizeof address.sun_path];
  if (PortDirectory(directory, sizeof directory) < 0) return false;
  int written = snprintf(address.sun_path, sizeof address.sun_path, "%s/%s",
                         directory, name);
  return written > 0 && static_cast<size_t>(written) < sizeof address.sun_path;
}

// True when `path` is a directory (not a link) of the effective user with
// no permission for group or others.
bool PortDirectoryIsSafe(const char* path) {
  struct stat info;
  return lstat(path, &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

ScopedFd NewSocket() {
  return ScopedFd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
}

// Receives one datagram that is waiting into `buffer`: its size, 0 when
// the peer closed, -EMSGSIZE when it did not fit, or recvmsg's negative
// errno.
ssize_t ReceiveDatagram(int fd, uint8_t* buffer, size_t size) {
  struct iovec part = {buffer, size};
  struct msghdr header = {};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  const ssize_t got = recvmsg(fd, &header, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
  if (got < 0) return NegativeErrno();
  return (header.msg_flags & MSG_TRUNC) ? -EMSGSIZE : got;
}

// 0 when the whole datagram went, else send's negative errno.
int SendDatagram(int fd, const uint8_t* data, size_t size) {
  while (true) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(size)) return 0;
    if (sent >= 0) return -EMSGSIZE;  // a datagram goes whole or not at all
    const int error = NegativeErrno();
    if (error != -EINTR) return error;
  }
}

// How an exchange ends when the system failed it: the port keeps the
// negative errno for the caller.
Exchange Failed(MsgPort& port, int negative_errno) {
  port.error = negative_errno;
  return Exchange::kSystemError;
}

// connect() to a host whose backlog is full sleeps in the kernel, for at
// most SO_SNDTIMEO on a Unix socket. Short slices of it keep the deadline,
// and let a break that came just before a slice end the wait soon after;
// one that comes during a slice interrupts it at once. 0 when connected,
// -ETIMEDOUT when the deadline passed, -EINTR on Ctrl-C, else connect's
// negative errno (-ECONNREFUSED: a socket no host listens on).
int Connect(int fd, const sockaddr_un& address, int64_t deadline) {
  while (true) {
    if (BreakRequested()) return -EINTR;
    const int left = RemainingMs(deadline);
    if (left == 0) return -ETIMEDOUT;
    const int slice_ms = left < kConnectSliceMs ? left : kConnectSliceMs;
    struct timeval slice = {0, slice_ms * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address),
                sizeof address) == 0) {
      return 0;
    }
    const int error = NegativeErrno();
    if (error != -EINTR && error != -EAGAIN) return error;
  }
}

std::string LockPath(const std::string& socket_path) {
  const size_t slash = socket_path.rfind('/');
  return socket_path.substr(0, slash + 1) + "." + socket_path.substr(slash + 1) + ".lock";
}

// An exclusive flock on the port's lock file, ".NAME.lock" beside its
// socket (a port name never starts with a dot); released when it goes.
// The host that removes its port removes the file too, holding the lock:
// a lock taken on a file that has left its name since is taken again, on
// the file the name now holds. 0 with the lock in `lock`; -EBUSY when
// another holds it past kLockWaitMs, -EINTR on Ctrl-C, else the negative
// errno of the lock file's open or flock.
int LockPortName(const std::string& socket_path, ScopedFd& lock) {
  const std::string lock_path = LockPath(socket_path);
  const int64_t deadline = MonotonicMs() + kLockWaitMs;
  // The lock is held for moments as a rule: asked again soon, then less
  // and less often.
  for (int pause_ms = 1;; pause_ms = std::min(2 * pause_ms, kLockPollMs)) {
    lock = ScopedFd(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock) return NegativeErrno();
    const int locked = flock(lock.get(), LOCK_EX | LOCK_NB) == 0 ? 0 : NegativeErrno();
    struct stat held, named;
    if (locked == 0 && fstat(lock.get(), &held) == 0 && stat(lock_path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      return 0;
    }
    int failed = 0;
    if (locked != 0 && BreakRequested()) {
      failed = -EINTR;
    } else if (locked != 0 && locked != -EWOULDBLOCK && locked != -EINTR) {
      failed = locked;
    } else if (RemainingMs(deadline) == 0) {
      failed = -EBUSY;
    }
    if (failed != 0) {
      lock = ScopedFd();
      return failed;
    }
    if (locked != 0) WaitReadable(-1, pause_ms);
  }
}

// AddPort's steps under the name's lock: 0 with the listening socket in
// `listener` and its file's device and inode in `existing`, or a negative
// errno.
int OpenLocked(const sockaddr_un& address, struct stat& existing, ScopedFd& listener) {
  if (lstat(address.sun_path, &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) return -EEXIST;
    // A host that takes the connection, or is too busy to, is alive.
    ScopedFd probe = NewSocket();
    const int connected =
        probe ? Connect(probe.get(), address, MonotonicMs() + kRequestTimeoutMs) : -EBADF;
    if (connected == 0 || connected == -ETIMEDOUT || connected == -EINTR) return -EADDRINUSE;
    unlink(address.sun_path);  // stale: its host is gone
  }
  listener = NewSocket();
  if (!listener || bind(listener.get(), reinterpret_cast<const sockaddr*>(&address),
                        sizeof address) != 0) {
    const int error = NegativeErrno();
    listener = ScopedFd();
    return error;
  }
  if (listen(listener.get(), 16) != 0 || lstat(address.sun_path, &existing) != 0) {
    const int error = NegativeErrno();
    listener = ScopedFd();
    unlink(address.sun_path);  // the socket just made, under the lock
    return error;
  }
  return 0;
}

}  // namespace

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

size_t PortPathLength(const char* name) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  char directory[64];
  if (runtime == nullptr || runtime[0] != '/') {
    PortDirectory(directory, sizeof directory);
    return strlen(directory) + 1 + strlen(name);
  }
  return strlen(runtime) + strlen("/rexx/") + strlen(name);
}

std::string UnsafePortDirectoryWhy(const char* directory) {
  struct stat info;
  if (PortDirectoryIsSafe(directory) || lstat(directory, &info) != 0) return "";
  char why[512];
  if (!S_ISDIR(info.st_mode)) {
    snprintf(why, sizeof why,
             "the port directory %s is not a directory, so no port in it is trusted; "
             "remove it and start the map application again", directory);
  } else if (info.st_uid != geteuid()) {
    snprintf(why, sizeof why,
             "the port directory %s belongs to uid %u, not to you, so no port in it is "
             "trusted; have it removed and start the map application again",
             directory, static_cast<unsigned>(info.st_uid));
  } else {
    snprintf(why, sizeof why,
             "the port directory %s has mode %04o, open to others, so no port in it is "
             "trusted; make it private: chmod 700 %s",
             directory, static_cast<unsigned>(info.st_mode & 07777), directory);
  }
  return why;
}

int PortDirectory(char* path, size_t size) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  int written;
  if (runtime != nullptr && runtime[0] == '/') {
    written = snprintf(path, size, "%s/rexx", runtime);
  } else {
    written = snprintf(path, size, "/tmp/rexx-%u",
                       static_cast<unsigned>(geteuid()));
  }
  return written > 0 && static_cast<size_t>(written) < size ? 0 : -ENAMETOOLONG;
}

MsgPort FindPort(const char* name, int64_t deadline) {
  MsgPort port;
  sockaddr_un address;
  char directory[sizeof address.sun_path];
  if (!ValidPortName(name)) return port;
  if (PortDirectory(directory, sizeof directory) < 0 ||
      !SocketPath(name, address)) {
    port.absence = PortAbsence::kPathTooLong;
    return port;
  }
  if (!PortDirectoryIsSafe(directory)) {
    struct stat info;
    if (lstat(directory, &info) == 0) port.absence = PortAbsence::kUnsafeDirectory;
    return port;
  }
  ScopedFd connection = NewSocket();
  if (!connection) {
    port.lookup = Failed(port, NegativeErrno());
    return port;
  }
  const int connected = Connect(connection.get(), address, deadline);
  if (connected == -ETIMEDOUT) {
    port.lookup = Exchange::kTimedOut;
  } else if (connected == -EINTR) {
    port.lookup = Exchange::kInterrupted;
  } else if (connected < 0) {
    struct stat info;
    // Refused by a socket no host listens on; a file of another kind
    // under the name refuses too, and was never a host's.
    if (connected == -ECONNREFUSED && lstat(address.sun_path, &info) == 0 &&
        S_ISSOCK(info.st_mode)) {
      port.absence = PortAbsence::kStale;
    }
  } else if (!PeerIsUs(connection.get())) {
    port.absence = PortAbsence::kOtherUser;
  } else {
    port.lookup = Exchange::kOk;
    port.absence = PortAbsence::kNone;
    port.connection = std::move(connection);
  }
  return port;
}

Exchange PutMsg(MsgPort& port, const RexxMsg& message) {
  if (BreakRequested()) return Exchange::kInterrupted;
  if (!port) return Failed(port, -ENOTCONN);
  uint8_t datagram[kMaxRexxDatagram];
  const size_t size = EncodeRexxRequest(message, datagram);
  if (size == 0) return Failed(port, message.rm_Args[0] == nullptr ? -EINVAL : -EMSGSIZE);
  const int sent = SendDatagram(port.connection.get(), datagram, size);
  if (sent == -EPIPE || sent == -ECONNRESET || sent == -ENOTCONN) return Exchange::kClosed;
  return sent < 0 ? Failed(port, sent) : Exchange::kOk;
}

Exchange WaitPort(MsgPort& port, int64_t deadline) {
  if (!port) return Failed(port, -ENOTCONN);  // poll would wait out the deadline
  const int wait = WaitReadable(port.connection.get(), RemainingMs(deadline));
  if (wait == kWaitReady) return Exchange::kOk;
  if (wait == kWaitTimedOut) return Exchange::kTimedOut;
  if (wait == kWaitBreak) return Exchange::kInterrupted;
  return Failed(port, wait);
}

Exchange GetMsg(MsgPort& port, RexxMsg& message) {
  // One byte more than the largest reply, so that a larger one shows.
  uint8_t datagram[kMaxRexxDatagram + 1];
  const ssize_t size = ReceiveDatagram(port.connection.get(), datagram,
                                       sizeof datagram);
  if (size == 0 || size == -ECONNRESET) return Exchange::kClosed;
  if (size == -EMSGSIZE || size > static_cast<ssize_t>(kMaxRexxDatagram)) {
    return Exchange::kMalformed;
  }
  if (size < 0) return Failed(port, static_cast<int>(size));
  int32_t result1;
  bool has_result2;
  std::string_view result2;
  if (!DecodeRexxReply(std::span<const uint8_t>(datagram, size), result1,
                       has_result2, result2)) {
    return Exchange::kMalformed;
  }
  message.rm_Result1 = result1;
  if (has_result2) {
    message.rm_Result2 = CreateArgstring(result2);
    if (!message.rm_Result2) return Failed(port, -ENOMEM);
  }
  return Exchange::kOk;
}

HostPort::~HostPort() {
  // Without the lock (another host holds it past its bound), the check
  // alone still keeps a newer host's socket.
  ScopedFd lock;
  const int locked = LockPortName(path_, lock);
  struct stat named;
  if (lstat(path_.c_str(), &named) == 0 && named.st_dev == device_ &&
      named.st_ino == inode_) {
    unlink(path_.c_str());
    if (locked == 0) unlink(LockPath(path_).c_str());
  }
}

int AddPort(const char* name, std::unique_ptr<HostPort>& port, std::string* lock_file) {
  port.reset();
  sockaddr_un address;
  char directory[sizeof address.sun_path];
  if (!ValidPortName(name)) return -EINVAL;
  if (PortDirectory(directory, sizeof directory) < 0 || !SocketPath(name, address)) {
    return -ENAMETOOLONG;
  }
  if (mkdir(directory, 0700) != 0 && errno != EEXIST) return NegativeErrno();
  if (!PortDirectoryIsSafe(directory)) return -EPERM;
  ScopedFd lock;
  const int locked = LockPortName(address.sun_path, lock);
  if (locked < 0) {
    if (lock_file != nullptr) *lock_file = LockPath(address.sun_path);
    return locked;
  }
  struct stat made;
  ScopedFd listener;
  const int opened = OpenLocked(address, made, listener);
  if (opened < 0) {
    // A name left without a host leaves no lock file either.
    if (opened != -EADDRINUSE) unlink(LockPath(address.sun_path).c_str());
    return opened;
  }
  port.reset(new HostPort(std::move(listener), address.sun_path, made.st_dev, made.st_ino));
  return 0;
}

bool WaitPort(HostPort& port, int timeout_ms) {
  return WaitReadable(port.fd(), timeout_ms) == kWaitReady;
}

bool GetMsg(HostPort& port, HostMsg& message) {
  message.connection =
      ScopedFd(accept4(port.fd(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!message.connection ||
      WaitReadable(message.connection.get(), kRequestTimeoutMs) !=
          kWaitReady) {
    return false;
  }
  return ReceiveRequest(message.connection.get(), message.message) ==
         Request::kRead;
}

bool PeerIsUs(int connection) {
  struct ucred peer;
  socklen_t size = sizeof peer;
  return getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
         peer.uid == geteuid();
}

Request ReceiveRequest(int connection, ReceivedRexxMsg& message) {
  auto datagram = std::make_unique<uint8_t[]>(kMaxRexxDatagram + 1);
  const ssize_t size =
      ReceiveDatagram(connection, datagram.get(), kMaxRexxDatagram + 1);
  if (size == -EAGAIN || size == -EINTR) return Request::kNotYet;
  return size > 0 && static_cast<size_t>(size) <= kMaxRexxDatagram &&
                 DecodeRexxRequest(std::span<const uint8_t>(datagram.get(), size),
                                   message)
             ? Request::kRead
             : Request::kBad;
}

int ReplyMsg(HostMsg& message, int32_t result1,
             const std::string_view* result2) {
  auto datagram = std::make_unique<uint8_t[]>(kMaxRexxDatagram);
  const size_t size = EncodeRexxReply(
      result1, result2, std::span<uint8_t>(datagram.get(), kMaxRexxDatagram));
  const int sent = size > 0 ? SendDatagram(message.connection.get(), datagram.get(), size)
                            : -EMSGSIZE;
  message.connection = ScopedFd();
  return sent;
}
