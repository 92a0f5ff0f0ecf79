// The receiver's position, taken from the RMC sentences of its NMEA text.
#pragma once

#include <string_view>

// Signed decimal degrees: north and east positive, south and west negative.
struct GeoPosition {
  double latitude = 0.0;
  double longitude = 0.0;
};

// Finds the position in NMEA 0183 text: the last "$GPRMC" sentence that has
// a matching checksum, status A (a valid fix) and well-formed coordinates
// ("ddmm.mmm" N/S, "dddmm.mmm" E/W, minutes below 60, within +-90 and
// +-180 degrees). Writes latitude and longitude only when one is found and
// returns whether it was. Sentences of other talkers ("$GNRMC") and the
// fields after the longitude play no part.
bool ParseRmcPosition(std::string_view text, double& latitude,
                      double& longitude);
