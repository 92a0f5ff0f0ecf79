// The TCP connection to gpsd: its host looked up, then each of its
// addresses tried in turn, all by one deadline that Ctrl-C cuts short.
#pragma once

#include <cstdint>

#include "gps/gpsd_name.h"
#include "gps/nmea_window.h"
#include "platform/scoped_fd.h"

// A TCP connection to gpsd by `deadline` (MonotonicMs); an empty one when
// none can be had, with report.end saying why (kInterrupted on Ctrl-C,
// kReadFailed with report.problem when the lookup failed, kOpenFailed with
// report.error, a negative errno, when nobody answers).
ScopedFd ConnectToGpsd(const GpsdAddress& address, int64_t deadline,
                       SnapshotReport& report);
