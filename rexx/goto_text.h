// The goto command's text, written by navbeacon and read by a map host:
// "goto LAT LON ZOOM" (docs/public-ports.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A goto as a host took it: finite, in range, checked before any of its
// bridges sees it.
struct MapGoto {
  double latitude;   // -90 to 90, north positive
  double longitude;  // -180 to 180, east positive
  int32_t zoom;      // the sender's slippy-map zoom level
};

// The code a host replies to a goto that is malformed or out of range.
inline constexpr int32_t kGotoRefused = 10;

// "goto LAT LON ZOOM" with each coordinate in fixed notation, at most six
// decimals (about 0.1 m), trailing zeros and point dropped, "-0" as "0".
void FormatGotoCommand(char* text, size_t size, double latitude,
                       double longitude, int32_t zoom);

// Whether the command's first word is goto, in any case: such a command
// is either taken as the goto FormatGotoCommand writes, or refused.
bool IsGoto(std::string_view command);

// The goto exactly as FormatGotoCommand writes it: "goto LAT LON ZOOM",
// single spaces, decimal degrees in fixed notation, a whole zoom, nothing
// after; latitude -90 to 90 and longitude -180 to 180. -EINVAL with the
// reason in `why` when it is not; 0 otherwise.
int ParseGoto(std::string_view command, MapGoto& where, std::string& why);

// The OpenStreetMap page centred on the position at its zoom, with a
// marker.
std::string OpenStreetMapLink(const MapGoto& where);
