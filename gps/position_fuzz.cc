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
  return 0;
}
