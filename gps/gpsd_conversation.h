// The conversation with gpsd on an open connection: its devices listed
// when one is named, then ?WATCH for its NMEA sentences and ?POLL for its
// current fix, and each line it sends taken, passed over or answered.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gps/nmea_window.h"

// How long gpsd may take to list its devices when asked whether it holds a
// tty; gpsd answers in milliseconds.
inline constexpr int kGpsdProbeMs = 200;
// gpsd's lines are short; a longer one is not gpsd talking.
inline constexpr size_t kMaxGpsdLine = 16384;

// What ConverseWithGpsd says in report.problem of a peer that sent not a
// byte, and of one that greeted but never answered ?DEVICES; the caller,
// who knows the address, says it in full.
inline constexpr char kGpsdSilent[] = "gpsd did not answer";
inline constexpr char kGpsdUnlisted[] = "gpsd did not list its devices";

enum class GpsdAnswer {
  kServed,     // gpsd was asked; the report says how it went
  kNoGpsd,     // nobody answers at the address
  kNotListed,  // gpsd does not have the device (only when listing)
};

// Appends what gpsd relays from `device` (all its devices when empty) to
// `buffer`, on a connection to gpsd that is already open, until `deadline`
// on the MonotonicMs clock; with `only_if_listed`, reads nothing unless a
// well-formed listing that names the device arrives by `listed_by`. See
// ReadGpsdSnapshot for the window.
GpsdAnswer ConverseWithGpsd(int fd, NmeaBuffer& buffer, const char* device,
                            bool only_if_listed, int64_t listed_by,
                            int64_t deadline, SnapshotReport& report,
                            uint32_t& bytes);
