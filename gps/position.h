// The receiver's position, taken from the RMC sentences of its NMEA text.
#pragma once

#include <cstddef>
#include <string_view>

// Signed decimal degrees: north and east positive, south and west negative.
struct GeoPosition {
  double latitude = 0.0;
  double longitude = 0.0;
};

// What a walk over the text saw, for explaining why it held no position.
struct NmeaTally {
  size_t sentences = 0;        // well framed, checksum matching
  size_t rmc = 0;              // RMC sentences, checksum matching
  size_t rmc_no_fix = 0;       //   ... with a status other than A
  size_t rmc_bad_checksum = 0; // RMC sentences whose checksum did not match
  // The addresses of the sentences seen ("GPGGA"), in order of arrival.
  static constexpr size_t kMaxTypes = 12;
  char types[kMaxTypes][8] = {};
  size_t type_count = 0;
};

// Finds the position in NMEA 0183 text in one walk over it: the last RMC
// sentence that has a matching checksum, status A (a valid fix) and
// well-formed coordinates ("ddmm.mmm" N/S, "dddmm.mmm" E/W, minutes below
// 60, within +-90 and +-180 degrees). Any talker of a satellite system
// counts (GP, GN, GL, GA, GB, BD, GQ, QZ, GI); proprietary sentences
// ("$PGRMC") do not. A sentence is "$" body "*HH" followed by CR, LF or the
// end of the text; text before a "$" is noise. Writes latitude and
// longitude only when a position is found and returns whether it was.
// With `tally`, also counts what the text held.
bool ParseRmcPosition(std::string_view text, double& latitude,
                      double& longitude, NmeaTally* tally = nullptr);
