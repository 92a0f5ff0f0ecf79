// The receiver's text through gpsd, the daemon that owns GPS receivers on
// many Linux systems (it holds their ttys exclusively). gpsd speaks JSON
// over TCP and relays each receiver's NMEA sentences on request.
#pragma once

#include <cstdint>

#include "gps/serial_snapshot.h"

inline constexpr char kGpsdScheme[] = "gpsd://";
// gpsd's lines are short; a longer one is not gpsd talking.
inline constexpr size_t kMaxGpsdLine = 16384;

// True when DEVICE names gpsd ("gpsd://[HOST][:PORT][/DEVICE-PATH]")
// rather than a file.
bool IsGpsdName(const char* device);

// The receiver's text from wherever it is to be had, with the collection
// window of ReadSerialSnapshot (until a usable RMC sentence, a full buffer,
// kSnapshotWindowMs or Ctrl-C):
//  - from gpsd when DEVICE names it (default localhost:2947; without a
//    device path, from whichever of its devices sends a position first);
//  - from gpsd when DEVICE is a character device that a gpsd on
//    localhost:2947 lists among its devices (report.via_gpsd is then set);
//    a gpsd that is not running costs one refused connection;
//  - from the device itself otherwise (ReadSerialSnapshot).
// Bad input from gpsd ends the window with kReadFailed and report.problem
// saying what it was.
uint32_t ReadReceiverText(NmeaBuffer& buffer, const char* device, int32_t unit,
                          uint32_t baud, SnapshotReport& report);
