// Where the receiver's text comes from: the receiver's tty, a recording,
// or gpsd. Each reader below knows only its own source; the choice is
// made here.
#pragma once

#include <cstdint>

#include "gps/serial_snapshot.h"

// True when DEVICE and UNIT name a regular file or a FIFO: a recording,
// or a pipe from another program, with no receiver on the bus behind it.
bool IsRecording(const char* device, int32_t unit);

// The receiver's text from wherever it is to be had, with the collection
// window of ReadSerialDevice (until a usable RMC sentence, a full buffer,
// kSnapshotWindowMs or Ctrl-C):
//  - from gpsd when DEVICE names it (default localhost:2947; without a
//    device path, from whichever of its devices sends a position first);
//  - from gpsd when DEVICE is a character device that a gpsd on
//    localhost:2947 lists among its devices (report.via_gpsd is then set);
//    a gpsd that is not running costs one refused connection;
//  - from the device itself otherwise.
uint32_t ReadReceiverText(NmeaBuffer& buffer, const char* device, int32_t unit,
                          uint32_t baud, SnapshotReport& report);
