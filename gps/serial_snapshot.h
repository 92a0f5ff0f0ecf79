// The receiver's text, read from its serial device (a tty, a recording or
// a FIFO) into the collection window.
#pragma once

#include <cstdint>

#include "gps/nmea_window.h"

// Sets report.path to the file DEVICE and UNIT name (see
// SerialDevicePath); false, with the report saying why, when it does not fit.
bool NameSerialDevice(const char* device, int32_t unit, SnapshotReport& report);

// Opens the device at report.path, sets the line raw at the speed, and
// appends to `buffer` the text the receiver sends until the text holds a
// position ParseRmcPosition accepts, the buffer is full, the input ends,
// Ctrl-C is pressed or kSnapshotWindowMs have passed. Zero bytes are
// dropped. A tty's settings are put back afterwards. Returns the number of
// bytes read, 0 on any failure.
uint32_t ReadSerialDevice(NmeaBuffer& buffer, uint32_t baud,
                          SnapshotReport& report);

// NameSerialDevice, then ReadSerialDevice.
uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* device,
                            int32_t unit, uint32_t baud,
                            SnapshotReport& report);
