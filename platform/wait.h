// Bounded waits that Ctrl-C ends, and the clock they are measured on.
#pragma once

#include <cerrno>
#include <cstdint>

// Milliseconds of the monotonic clock.
int64_t MonotonicMs();

// What a wait returns, besides a negative errno when it failed (-EBADF:
// the descriptor is not open).
inline constexpr int kWaitReady = 1;
inline constexpr int kWaitTimedOut = 0;
inline constexpr int kWaitBreak = -EINTR;  // Ctrl-C

// Sleeps until `fd` is readable (or hung up, or in error), `timeout_ms`
// pass (-1: no limit) or Ctrl-C is pressed; WaitWritable waits for room to
// write (or a finished connect) instead.
int WaitReadable(int fd, int timeout_ms);
int WaitWritable(int fd, int timeout_ms);

// What is left of a deadline on the monotonic clock, never below 0.
int RemainingMs(int64_t deadline);
