// libFuzzer: a map host reads any client's command as a goto. Reading
// must end cleanly; a goto taken is in range, and FormatGotoCommand
// writes it back as a goto taken as the same position to its six
// decimals and the same zoom.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rexx/goto_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view command(reinterpret_cast<const char*>(data), size);
  MapGoto where;
  std::string why;
  if (ParseGoto(command, where, why) < 0) {
    if (why.empty()) abort();
    return 0;
  }
  if (!IsGoto(command) || !(std::fabs(where.latitude) <= 90) ||
      !(std::fabs(where.longitude) <= 180)) {
    abort();
  }
  char again[100];
  FormatGotoCommand(again, sizeof again, where.latitude, where.longitude, where.zoom);
  MapGoto back;
  if (ParseGoto(again, back, why) < 0 || back.zoom != where.zoom ||
      std::fabs(back.latitude - where.latitude) > 5.0001e-7 ||
      std::fabs(back.longitude - where.longitude) > 5.0001e-7) {
    abort();
  }
  return 0;
}
