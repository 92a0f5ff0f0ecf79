// How navbeacon-gpssim's text reaches the device: paced as a serial line
// would carry it, and, like a real receiver's tty, lost while no program
// has the device open.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/scoped_fd.h"

int64_t Nanoseconds(const timespec& time);
timespec FromNanoseconds(int64_t ns);

// Sleeps until the realtime clock reads `when`; false on Ctrl-C.
bool SleepUntil(int64_t when);

// True while a program has the device open (the master sees no hang-up).
bool DeviceOpen(int master);

// Tells each new open of the device, however soon it follows a close:
// inotify queues every open, where a poll of the master between bursts
// misses a close and an open in between.
class OpenWatch {
 public:
  // 0, or the negative errno of why the device's opens cannot be watched.
  int Start(const std::string& device);

  // True when a program has opened the device since the last call. Only
  // opens are watched, so every event is one.
  bool Reopened();

 private:
  ScopedFd events_;
};

// Sends the burst as the line would carry it: 10 bits a byte, starting at
// `start` (CLOCK_REALTIME ns). Bytes that fall due while no program has
// the device open are lost, as they are on a real receiver's tty. Logs
// the end of the RMC sentence (its checksum) to `trace` when it was
// delivered. With `opens`, a new open of the device cuts the burst short,
// and the result is true.
bool SendPaced(int master, const std::string& burst, int32_t baud, int64_t start, FILE* trace,
               OpenWatch* opens);
