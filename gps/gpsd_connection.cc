#include "gps/gpsd_connection.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "gps/gpsd_lookup.h"
#include "platform/errors.h"
#include "platform/wait.h"

namespace {

// A TCP connection to one of the addresses by `deadline`: its descriptor,
// or the negative errno of the last address tried (-EINTR on Ctrl-C,
// -ETIMEDOUT when the deadline passed).
int ConnectTcp(const addrinfo* first, int64_t deadline) {
  int error = -ECONNREFUSED;
  for (const addrinfo* each = first; each != nullptr; each = each->ai_next) {
    ScopedFd fd(socket(each->ai_family,
                       each->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                       each->ai_protocol));
    if (!fd) continue;
    if (connect(fd.get(), each->ai_addr, each->ai_addrlen) != 0) {
      const int failed = NegativeErrno();
      if (failed != -EINPROGRESS) {
        error = failed;
        continue;
      }
      const int wait = WaitWritable(fd.get(), RemainingMs(deadline));
      if (wait == kWaitBreak) return -EINTR;
      if (wait == kWaitTimedOut) {
        error = -ETIMEDOUT;
        continue;
      }
      int pending = 0;
      socklen_t size = sizeof pending;
      if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
        error = NegativeErrno();
        continue;
      }
      if (pending != 0) {
        error = -pending;
        continue;
      }
    }
    return fd.release();
  }
  return error;
}

}  // namespace

ScopedFd ConnectToGpsd(const GpsdAddress& address, int64_t deadline,
                       SnapshotReport& report) {
  std::shared_ptr<GpsdLookup> lookup;
  std::string why;
  const int found = LookUpGpsd(address, deadline, lookup, why);
  if (found == -EINTR) {
    report.end = WindowEnd::kInterrupted;
    return ScopedFd();
  }
  if (found < 0) {
    report.end = WindowEnd::kReadFailed;
    if (found == -ETIMEDOUT) {
      why += " within " + std::to_string(kSnapshotWindowMs / 1000) + " s";
    }
    snprintf(report.problem, sizeof report.problem,
             "cannot look up gpsd's host %s: %s", address.host, why.c_str());
    return ScopedFd();
  }
  const int connected = ConnectTcp(lookup->list.get(), deadline);
  if (connected == -EINTR) {
    report.end = WindowEnd::kInterrupted;
  } else if (connected < 0) {
    report.end = WindowEnd::kOpenFailed;
    report.error = connected;
  }
  return ScopedFd(connected);
}
