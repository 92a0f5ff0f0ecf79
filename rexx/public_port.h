// Public message ports, as AF_UNIX SOCK_SEQPACKET sockets named in a
// private directory of the user (docs/public-ports.md is the reference).
//
// Client: FindPort, PutMsg, WaitPort, GetMsg: one exchange per connection.
// Host: AddPort, WaitPort, GetMsg, ReplyMsg, RemPort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sys/types.h>
#include <string>

#include "platform/scoped_fd.h"
#include "rexx/rexx_message.h"

// 1 to 64 bytes of A-Z a-z 0-9 . _ -, not starting with ".".
bool ValidPortName(const char* name);

// The directory the ports live in: $XDG_RUNTIME_DIR/rexx when that is an
// absolute path, else /tmp/rexx-<uid>. -ENAMETOOLONG when it does not fit
// `size`, 0 otherwise.
int PortDirectory(char* path, size_t size);

// The longest path a port's socket may have: a Unix socket's address holds
// 107 bytes and its end.
inline constexpr size_t kMaxPortPath = 107;

// The length of the path port `name` would have, however long.
size_t PortPathLength(const char* name);

// How a step of an exchange with a host ended.
enum class Exchange {
  kOk,
  kNoPort,       // no such port: missing, stale, unsafe, another user's
  kTimedOut,     // the deadline passed
  kInterrupted,  // Ctrl-C; nothing more is sent
  kClosed,       // the host closed the connection without replying
  kMalformed,    // the reply does not follow the wire format
  kSystemError,  // no socket, no memory: the port's `error` says which
};

// Why FindPort found no port, for the user to be told what to fix.
enum class PortAbsence {
  kNone,             // found, or the lookup failed otherwise
  kMissing,          // nothing under the name (or no directory)
  kStale,            // a socket no host listens on: its host has ended
  kUnsafeDirectory,  // not a directory of the user's own with mode 0700
  kOtherUser,        // the host runs as another user
  kPathTooLong,      // the port's path is over kMaxPortPath
};

// A connection to a public port: the client's end of one exchange.
struct MsgPort {
  ScopedFd connection;
  Exchange lookup = Exchange::kNoPort;
  PortAbsence absence = PortAbsence::kMissing;  // with lookup kNoPort
  // The negative errno of the last step that ended in kSystemError.
  int error = 0;
  explicit operator bool() const { return static_cast<bool>(connection); }
};

// Connects to the public port `name` by `deadline` (MonotonicMs). No port
// when the name is invalid, the directory unsafe, the socket path too long
// for a socket address, the socket missing or refusing (a stale socket),
// or its host runs as another user (`absence` says which). A host too
// busy to take the connection is waited for until the deadline or Ctrl-C.
MsgPort FindPort(const char* name, int64_t deadline);

// The client's steps, each ending in kSystemError with `port.error` set
// when the system failed it.
// Sends the message as the request of the exchange. Never raises SIGPIPE.
Exchange PutMsg(MsgPort& port, const RexxMsg& message);

// Sleeps until the reply (or the host's end) arrives, the deadline passes
// or Ctrl-C is pressed.
Exchange WaitPort(MsgPort& port, int64_t deadline);

// Takes the reply: rm_Result1, and rm_Result2 when the host sent one.
Exchange GetMsg(MsgPort& port, RexxMsg& message);

// --- the host's side --------------------------------------------------------

// A message taken by a host, with the connection its reply goes back on.
struct HostMsg {
  ScopedFd connection;
  ReceivedRexxMsg message;
};

// A public port a host has opened; RemPort when destroyed.
class HostPort {
 public:
  // Removes the port's name if it is still the socket this host made: a
  // host started since, after that socket was removed, keeps its own.
  ~HostPort();
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;
  const std::string& path() const { return path_; }
  int fd() const { return listener_.get(); }

 private:
  friend int AddPort(const char*, std::unique_ptr<HostPort>&, std::string*);
  HostPort(ScopedFd listener, std::string path, dev_t device, ino_t inode)
      : listener_(std::move(listener)), path_(std::move(path)),
        device_(device), inode_(inode) {}
  ScopedFd listener_;
  std::string path_;
  dev_t device_;  // the socket file's, as bound
  ino_t inode_;
};

// Makes the port `name` public in `port`, creating the directory (mode
// 0700) when it is missing; 0 when it did. A negative errno when the name
// is invalid (-EINVAL), the directory unsafe (-EPERM), the name is in use
// by a live host (-EADDRINUSE), another host holds the name's lock for too
// long (-EBUSY), Ctrl-C came while waiting for it (-EINTR), or the lock
// file or the socket cannot be made; `lock_file`, when given, is set to
// the lock file's path when the failure came from the lock. A stale socket of a
// host that died is replaced. The check for a live host, the removal of a
// stale socket, the new one's creation and a host's removal of its own
// run under a lock (flock on ".NAME.lock" in the port directory), so that
// of hosts started at once on one name exactly one gets it.
int AddPort(const char* name, std::unique_ptr<HostPort>& port,
            std::string* lock_file = nullptr);

// Why the port directory `directory` is not trusted and what to do, as a
// line for the user (without its newline); empty when it is a private
// directory of the user's own, or not there.
std::string UnsafePortDirectoryWhy(const char* directory);

// Closes the port and removes its name.
inline void RemPort(std::unique_ptr<HostPort> port) { port.reset(); }

// Sleeps until a client connects, `timeout_ms` pass (-1: no limit) or
// Ctrl-C; true when a client is waiting.
bool WaitPort(HostPort& port, int timeout_ms);

// Accepts one connection and reads its request. False when the client
// closed without a message (as a host checking for a live one does), sent
// a malformed one, or sent nothing within a second.
bool GetMsg(HostPort& port, HostMsg& message);

// True when the process at the other end of the connection runs as this
// process's effective user.
bool PeerIsUs(int connection);

// Reads the request waiting on an accepted connection, without waiting.
enum class Request {
  kRead,    // `message` holds it
  kNotYet,  // nothing has come yet
  kBad,     // closed without a message, unreadable, too large or malformed
};
Request ReceiveRequest(int connection, ReceivedRexxMsg& message);

// Sends the reply and ends the exchange. `result2` may be null. 0 when it
// went, else a negative errno.
int ReplyMsg(HostMsg& message, int32_t result1,
             const std::string_view* result2);
