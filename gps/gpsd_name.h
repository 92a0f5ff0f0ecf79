// gpsd's name on the command line: gpsd://[HOST][:PORT][/DEVICE-PATH].
#pragma once

#include <string>

inline constexpr char kGpsdScheme[] = "gpsd://";
inline constexpr char kGpsdDefaultHost[] = "localhost";
inline constexpr char kGpsdDefaultPort[] = "2947";

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
// 0 when it fits; -EINVAL when it does not, with `why` saying what is wrong
// with it, for the user.
int ParseGpsdName(const char* name, GpsdAddress& address, std::string& why);
