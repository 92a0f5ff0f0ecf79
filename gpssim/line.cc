#include "gpssim/line.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "platform/break.h"
#include "platform/errors.h"

int64_t Nanoseconds(const timespec& time) {
  return int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
}

timespec FromNanoseconds(int64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000),
                  static_cast<long>(ns % 1000000000)};
}

bool SleepUntil(int64_t when) {
  while (!BreakRequested()) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t left = when - Nanoseconds(now);
    if (left <= 0) return true;
    struct pollfd watched = {BreakFd(), POLLIN, 0};
    timespec wait = FromNanoseconds(left);
    ppoll(&watched, 1, &wait, nullptr);
  }
  return false;
}

bool DeviceOpen(int master) {
  struct pollfd watched = {master, POLLOUT, 0};
  return poll(&watched, 1, 0) >= 0 && !(watched.revents & POLLHUP);
}

int OpenWatch::Start(const std::string& device) {
  events_ = ScopedFd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!events_) return NegativeErrno();
  if (inotify_add_watch(events_.get(), device.c_str(), IN_OPEN) < 0) return NegativeErrno();
  return 0;
}

bool OpenWatch::Reopened() {
  alignas(inotify_event) char events[4096];
  bool opened = false;
  while (read(events_.get(), events, sizeof events) > 0) opened = true;
  return opened;
}

bool SendPaced(int master, const std::string& burst, int32_t baud,
               int64_t start, FILE* trace, OpenWatch* opens) {
  const int64_t byte_ns = 10 * int64_t{1000000000} / baud;
  const size_t rmc_start = burst.rfind('$');  // the RMC sentence ends it
  size_t sent = 0;
  const size_t rmc_end = burst.size() - 2;
  bool rmc_delivered = true;
  bool traced = false;
  while (sent < burst.size() && !BreakRequested()) {
    if (opens != nullptr && opens->Reopened()) return true;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    size_t due = static_cast<size_t>((Nanoseconds(now) - start) / byte_ns) + 1;
    if (due > burst.size()) due = burst.size();
    if (due > sent) {
      if (DeviceOpen(master)) {
        ssize_t written = write(master, burst.data() + sent, due - sent);
        if (written <= 0) return false;
        sent += static_cast<size_t>(written);
      } else {
        sent = due;
        if (due > rmc_start) rmc_delivered = false;
      }
      // The sentence is complete at its checksum; CR LF follow.
      if (!traced && sent >= rmc_end && rmc_delivered && trace != nullptr) {
        traced = true;
        clock_gettime(CLOCK_REALTIME, &now);
        fprintf(trace, "rmc %lld\n", static_cast<long long>(Nanoseconds(now)));
        fflush(trace);
      }
    }
    if (!SleepUntil(start + static_cast<int64_t>(sent) * byte_ns)) break;
  }
  return false;
}
