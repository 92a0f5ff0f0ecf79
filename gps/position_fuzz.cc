// libFuzzer: any text, including binary noise, must parse without fault
// and give a position inside the valid ranges or none.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "gps/position.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  double latitude = 1000.0, longitude = 1000.0;
  bool found = ParseRmcPosition(
      std::string_view(reinterpret_cast<const char*>(data), size), latitude,
      longitude);
  if (found && (latitude < -90 || latitude > 90 || longitude < -180 ||
                longitude > 180)) {
    abort();
  }
  if (!found && (latitude != 1000.0 || longitude != 1000.0)) abort();
  // Counting what the text held changes nothing about the position.
  NmeaTally tally;
  double tallied_latitude = 1000.0, tallied_longitude = 1000.0;
  if (ParseRmcPosition(std::string_view(reinterpret_cast<const char*>(data), size),
                       tallied_latitude, tallied_longitude, &tally) != found ||
      (found && (tallied_latitude != latitude || tallied_longitude != longitude)) ||
      tally.rmc_no_fix > tally.rmc || tally.rmc > tally.sentences) {
    abort();
  }
  return 0;
}
