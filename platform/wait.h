// Bounded waits that Ctrl-C ends, and the clock they are measured on.
#pragma once

#include <cstdint>

// Milliseconds of the monotonic clock.
int64_t MonotonicMs();

enum class WaitResult { kReady, kTimeout, kBreak, kError };

// Sleeps until `fd` is readable (or hung up, or in error), `timeout_ms`
// pass (-1: no limit) or Ctrl-C is pressed; WaitWritable waits for room to
// write (or a finished connect) instead. With kError, errno says why
// (EBADF: `fd` is not an open descriptor).
WaitResult WaitReadable(int fd, int timeout_ms);
WaitResult WaitWritable(int fd, int timeout_ms);

// What is left of a deadline on the monotonic clock, never below 0.
int RemainingMs(int64_t deadline);
