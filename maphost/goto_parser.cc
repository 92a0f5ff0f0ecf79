#include "maphost/goto_parser.h"

#include <cctype>
#include <charconv>
#include <cmath>

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

}  // namespace

bool IsGoto(std::string_view command) {
  if (command.size() < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    if (tolower(static_cast<unsigned char>(command[i])) != "goto"[i]) return false;
  }
  return command.size() == 4 || isspace(static_cast<unsigned char>(command[4]));
}

bool ParseGoto(std::string_view command, MapGoto& where, std::string& why) {
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
    return false;
  }
  // Written so that NaN fails too.
  if (!(where.latitude >= -90 && where.latitude <= 90)) {
    why = "the latitude is out of range (-90 to 90)";
    return false;
  }
  if (!(where.longitude >= -180 && where.longitude <= 180)) {
    why = "the longitude is out of range (-180 to 180)";
    return false;
  }
  return true;
}
