// The receiver's text, read from its serial device.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kNmeaBufferSize = 10000;

// Zero-terminated text of at most kNmeaBufferSize - 1 characters.
struct NmeaBuffer {
  char text[kNmeaBufferSize];
};

// How long a snapshot waits, from the moment the device is opened, for a
// complete "$GPRMC" line. Receivers send one burst a second.
inline constexpr int kSnapshotWindowMs = 2000;

// Why the device could not be opened, for the caller to explain.
struct SnapshotFailure {
  int open_error = 0;  // errno of the failed open; 0 when it opened
  char path[256] = {};  // the file that was tried
};

// Opens the device (DEVICE and UNIT name it, see SerialDevicePath), sets
// the speed, and appends to `buffer` the text the receiver sends until it
// holds a complete "$GPRMC" line, the buffer is full, the input ends,
// Ctrl-C is pressed or kSnapshotWindowMs have passed. Zero bytes are
// dropped. Returns the number of bytes read, 0 on any failure.
uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* device,
                            int32_t unit, uint32_t baud,
                            SnapshotFailure& failure);
