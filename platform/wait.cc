#include "platform/wait.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

#include "platform/break.h"

namespace {

int WaitFor(int fd, short events, int timeout_ms) {
  const int64_t deadline = timeout_ms < 0 ? -1 : MonotonicMs() + timeout_ms;
  struct pollfd watched[2] = {{fd, events, 0}, {BreakFd(), POLLIN, 0}};
  while (true) {
    if (BreakRequested()) return kWaitBreak;
    const int left = deadline < 0 ? -1 : RemainingMs(deadline);
    const int ready = poll(watched, BreakFd() >= 0 ? 2 : 1, left);
    const int error = ready < 0 ? errno : 0;
    if (BreakRequested()) return kWaitBreak;
    if (ready > 0 && watched[0].revents != 0) {
      if (!(watched[0].revents & POLLNVAL)) return kWaitReady;
      return -EBADF;  // not an open descriptor
    }
    if (ready == 0) return kWaitTimedOut;
    if (error != 0 && error != EINTR) return -error;
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

int WaitReadable(int fd, int timeout_ms) {
  return WaitFor(fd, POLLIN, timeout_ms);
}

int WaitWritable(int fd, int timeout_ms) {
  return WaitFor(fd, POLLOUT, timeout_ms);
}
