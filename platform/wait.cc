#include "platform/wait.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

#include "platform/break.h"

namespace {

WaitResult WaitFor(int fd, short events, int timeout_ms) {
  const int64_t deadline = timeout_ms < 0 ? -1 : MonotonicMs() + timeout_ms;
  struct pollfd watched[2] = {{fd, events, 0}, {BreakFd(), POLLIN, 0}};
  while (true) {
    if (BreakRequested()) return WaitResult::kBreak;
    const int left = deadline < 0 ? -1 : RemainingMs(deadline);
    const int ready = poll(watched, BreakFd() >= 0 ? 2 : 1, left);
    const int error = ready < 0 ? errno : 0;
    if (BreakRequested()) return WaitResult::kBreak;
    if (ready > 0 && watched[0].revents != 0) {
      if (!(watched[0].revents & POLLNVAL)) return WaitResult::kReady;
      errno = EBADF;  // not an open descriptor
      return WaitResult::kError;
    }
    if (ready == 0) return WaitResult::kTimeout;
    if (error != 0 && error != EINTR) {
      errno = error;
      return WaitResult::kError;
    }
  }
}

}  // namespace

int64_t MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

int RemainingMs(int64_t deadline) {
  const int64_t left = deadline - MonotonicMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

WaitResult WaitReadable(int fd, int timeout_ms) {
  return WaitFor(fd, POLLIN, timeout_ms);
}

WaitResult WaitWritable(int fd, int timeout_ms) {
  return WaitFor(fd, POLLOUT, timeout_ms);
}
