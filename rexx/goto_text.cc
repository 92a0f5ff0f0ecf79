#include "rexx/goto_text.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::string_view kGotoFormat =
    "a goto is \"goto LAT LON ZOOM\": decimal degrees, north and east "
    "positive, and a whole zoom level, e.g. goto 48.1173 11.516667 12";

// Takes the next field of `text`, up to a single space or the end.
std::string_view NextField(std::string_view& text) {
  const size_t space = text.find(' ');
  std::string_view field = text.substr(0, space);
  text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
  return field;
}

// A decimal number in fixed notation: an optional minus, digits, and
// optionally a point and more digits. No exponent, no "inf" or "nan".
bool ParseDecimal(std::string_view text, double& value) {
  size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  const size_t digits = i;
  while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits) return false;
  if (i < text.size() && text[i] == '.') {
    const size_t decimals = ++i;
    while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == decimals) return false;
  }
  if (i != text.size()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(),
                                            value, std::chars_format::fixed);
  // Too many digits for a double: not finite, so out of any range.
  if (error == std::errc::result_out_of_range) value = HUGE_VAL;
  return end == text.data() + text.size();
}

// "%.6f" without its trailing zeros and point; never "-0".
void FormatDegrees(char* text, size_t size, double degrees) {
  snprintf(text, size, "%.6f", degrees);
  char* end = text + strlen(text);
  while (end > text && end[-1] == '0') *--end = '\0';
  if (end > text && end[-1] == '.') *--end = '\0';
  if (strcmp(text, "-0") == 0) snprintf(text, size, "0");
}

}  // namespace

void FormatGotoCommand(char* text, size_t size, double latitude,
                       double longitude, int32_t zoom) {
  char lat[32], lon[32];
  FormatDegrees(lat, sizeof lat, latitude);
  FormatDegrees(lon, sizeof lon, longitude);
  snprintf(text, size, "goto %s %s %d", lat, lon, static_cast<int>(zoom));
}

bool IsGoto(std::string_view command) {
  if (command.size() < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    if (tolower(static_cast<unsigned char>(command[i])) != "goto"[i]) return false;
  }
  return command.size() == 4 || isspace(static_cast<unsigned char>(command[4]));
}

int ParseGoto(std::string_view command, MapGoto& where, std::string& why) {
  std::string_view rest = command;
  const bool words = NextField(rest) == "goto";
  const std::string_view latitude = NextField(rest), longitude = NextField(rest),
                         zoom = NextField(rest);
  auto [end, error] = std::from_chars(zoom.data(), zoom.data() + zoom.size(), where.zoom);
  if (!words || !rest.empty() || command.back() == ' ' ||
      !ParseDecimal(latitude, where.latitude) ||
      !ParseDecimal(longitude, where.longitude) || zoom.empty() ||
      error != std::errc() || end != zoom.data() + zoom.size()) {
    why = kGotoFormat;
    return -EINVAL;
  }
  // Written so that NaN fails too.
  if (!(where.latitude >= -90 && where.latitude <= 90)) {
    why = "the latitude is out of range (-90 to 90)";
    return -EINVAL;
  }
  if (!(where.longitude >= -180 && where.longitude <= 180)) {
    why = "the longitude is out of range (-180 to 180)";
    return -EINVAL;
  }
  return 0;
}

std::string OpenStreetMapLink(const MapGoto& where) {
  char link[256];
  snprintf(link, sizeof link,
           "https://www.openstreetmap.org/?mlat=%.6f&mlon=%.6f#map=%d/%.6f/%.6f",
           where.latitude, where.longitude, static_cast<int>(where.zoom),
           where.latitude, where.longitude);
  return link;
}
