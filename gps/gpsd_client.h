// The receiver's text through gpsd, the daemon that owns GPS receivers on
// many Linux systems (it holds their ttys exclusively). gpsd speaks JSON
// over TCP and relays each receiver's NMEA sentences on request.
#pragma once

#include <cstdint>
#include <string_view>

#include "gps/serial_snapshot.h"
#include "platform/scoped_fd.h"

inline constexpr char kGpsdScheme[] = "gpsd://";
inline constexpr char kGpsdDefaultHost[] = "localhost";
inline constexpr char kGpsdDefaultPort[] = "2947";
// How long gpsd may take to list its devices when asked whether it holds a
// tty; gpsd answers in milliseconds.
inline constexpr int kGpsdProbeMs = 200;
// gpsd's lines are short; a longer one is not gpsd talking.
inline constexpr size_t kMaxGpsdLine = 16384;

// How far gpsd's current fix may be from the system clock and still stand
// for the receiver's next sentence: a receiver sends once a second.
inline constexpr double kCurrentFixMaxAgeS = 1.0;

struct GpsdAddress {
  char host[128] = {};
  char port[16] = {};
  char device[256] = {};  // empty: whichever device sends a position first
};

// True when DEVICE names gpsd ("gpsd://[HOST][:PORT][/DEVICE-PATH]", the
// scheme in any case) rather than a file.
bool IsGpsdName(const char* device);

// Reads a name IsGpsdName accepts: HOST a name, an IPv4 address or an IPv6
// address in brackets (default localhost), PORT 1 to 65535 (default 2947).
// Null when it fits, else what is wrong with it, for the user.
const char* ParseGpsdName(const char* name, GpsdAddress& address);

enum class GpsdAnswer {
  kServed,     // gpsd was asked; the report says how it went
  kNoGpsd,     // nobody answers at the address
  kNotListed,  // gpsd does not have the device (only when listing)
};

// Appends what gpsd relays from the device (or all its devices) to
// `buffer`, with the collection window of ReadSerialDevice. A device is
// first looked for in gpsd's listing and watched under the name found
// there (a gpsd on this machine lists a link by the tty it leads to). With
// `only_if_listed`, reads nothing unless a well-formed listing that names
// the device arrives within kGpsdProbeMs. gpsd is asked for its current
// fix as the watch starts; when TakeCurrentFix takes it, the window ends
// at once with kPosition and gpsd's answer as its text. A line that is not
// a JSON object (cut off, malformed, over kMaxGpsdLine) is passed over: its
// start goes to the text, and report.problem says what it was should the
// window end with no sentence relayed. An error from gpsd, or the
// connection's end, ends the window with kReadFailed and report.problem
// saying so; a gpsd that says nothing at all is named by its address.
GpsdAnswer ReadGpsdSnapshot(NmeaBuffer& buffer, const GpsdAddress& address,
                            bool only_if_listed, SnapshotReport& report,
                            uint32_t& bytes);

// Whether `line`, gpsd's answer to ?POLL, holds a fix of `device` (of any
// device when empty) that can be taken as the receiver's position now: a
// TPV of mode 2 or 3 with numeric, finite, in-range lat and lon and an
// ISO 8601 UTC time within kCurrentFixMaxAgeS of `now_s` (the system clock,
// in seconds since the epoch). When it does, fills the report's
// current_fix, latitude, longitude, fix_age_s and fix_device.
bool TakeCurrentFix(std::string_view line, const char* device, double now_s,
                    SnapshotReport& report);

// A fix gpsd reports in a TPV.
struct GpsdFix {
  double latitude = 0, longitude = 0;
  double time_s = 0;       // its time, in seconds since the epoch
  char device[256] = {};   // the device gpsd named it by
};

// Whether `line` is a TPV of `device` (of any device when empty) that
// holds a position: mode 2 or 3, lat, lon and time as TakeCurrentFix
// wants them, whatever its age.
bool TakeTpv(std::string_view line, const char* device, GpsdFix& fix);

// A TCP connection to gpsd by `deadline` (MonotonicMs); an empty one when
// none can be had, with report.end saying why (kInterrupted on Ctrl-C,
// kReadFailed with report.problem when the lookup failed, kOpenFailed with
// report.error when nobody answers).
ScopedFd ConnectToGpsd(const GpsdAddress& address, int64_t deadline,
                       SnapshotReport& report);

// The same on a connection to gpsd that is already open, until `deadline`
// on the MonotonicMs clock; with `only_if_listed`, the listing must arrive
// by `listed_by`.
GpsdAnswer ConverseWithGpsd(int fd, NmeaBuffer& buffer, const char* device,
                            bool only_if_listed, int64_t listed_by,
                            int64_t deadline, SnapshotReport& report,
                            uint32_t& bytes);
