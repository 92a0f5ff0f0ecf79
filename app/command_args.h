// The command line, as the template parser leaves it.
#pragma once

#include <cstdint>

inline constexpr char kArgumentTemplate[] =
    "DEVICE/A,UNIT/A,BAUDRATE/A,ZOOM/N,VERBOSE/S,POSITION/S";

// The zoom level sent to the map application when ZOOM is not given.
inline constexpr int32_t kDefaultZoom = 12;

// The six slots of the template, in its order. The texts and the number
// belong to the parser's result and are valid until it is freed.
struct CommandArgs {
  const char* device = nullptr;    // DEVICE/A
  const char* unit = nullptr;      // UNIT/A, as typed
  const char* baudrate = nullptr;  // BAUDRATE/A, as typed
  const int32_t* zoom = nullptr;   // ZOOM/N; null when absent
  bool verbose = false;            // VERBOSE/S
  bool position = false;           // POSITION/S
};
