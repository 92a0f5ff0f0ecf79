// The receiver's text through gpsd, the daemon that owns GPS receivers on
// many Linux systems (it holds their ttys exclusively). gpsd speaks JSON
// over TCP and relays each receiver's NMEA sentences on request.
#pragma once

#include "gps/serial_snapshot.h"

inline constexpr char kGpsdScheme[] = "gpsd://";
inline constexpr char kGpsdDefaultHost[] = "localhost";
inline constexpr char kGpsdDefaultPort[] = "2947";
// gpsd's lines are short; a longer one is not gpsd talking.
inline constexpr size_t kMaxGpsdLine = 16384;

struct GpsdAddress {
  char host[128] = {};
  char port[16] = {};
  char device[256] = {};  // empty: whichever device sends a position first
};

// Reads "gpsd://[HOST][:PORT][/DEVICE-PATH]"; false when `text` is not such
// a name or a part does not fit.
bool ParseGpsdAddress(const char* text, GpsdAddress& address);

enum class GpsdAnswer {
  kServed,     // gpsd was asked; `report` says how it went
  kNoGpsd,     // nobody answers at the address
  kNotListed,  // gpsd does not have the device (only with only_if_listed)
};

// Appends the NMEA sentences gpsd relays from the device (or from all its
// devices) to `buffer`, with the collection window of ReadSerialSnapshot:
// until a usable RMC sentence, a full buffer, kSnapshotWindowMs or Ctrl-C.
// With `only_if_listed`, first asks gpsd for its devices and reads nothing
// unless the device is among them. Bad input from gpsd ends the window
// with kReadFailed and report.problem saying what it was.
GpsdAnswer ReadGpsdSnapshot(NmeaBuffer& buffer, const GpsdAddress& address,
                            bool only_if_listed, SnapshotReport& report,
                            uint32_t& bytes);

// True when DEVICE names gpsd ("gpsd://...") rather than a file.
bool IsGpsdName(const char* device);

// The receiver's text from wherever it is to be had: from gpsd when DEVICE
// names it, or when DEVICE is a character device that a gpsd on
// localhost:2947 serves (gpsd holds such a tty exclusively); from the
// device itself otherwise (ReadSerialSnapshot).
uint32_t ReadReceiverText(NmeaBuffer& buffer, const char* device, int32_t unit,
                          uint32_t baud, SnapshotReport& report);
