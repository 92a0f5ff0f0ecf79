#include "gps/position.h"

#include <charconv>

#include "gps/nmea.h"

namespace {

// The RMC fields used here, by position after the address field.
enum RmcField {
  kAddress = 0,
  kTime,
  kStatus,
  kLatitude,
  kNorthSouth,
  kLongitude,
  kEastWest,
  kFirstUnusedField
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "ddmm.mmmm" (degree_digits 2) or "dddmm.mmmm" (3) into degrees; the
// fraction is optional. False for anything else, or for minutes of 60 or
// more.
bool ParseCoordinate(std::string_view field, size_t degree_digits,
                     double& degrees) {
  size_t point = field.find('.');
  std::string_view whole = field.substr(0, point);
  if (whole.size() != degree_digits + 2) return false;
  for (char c : whole) {
    if (!IsDigit(c)) return false;
  }
  if (point != std::string_view::npos) {
    for (char c : field.substr(point + 1)) {
      if (!IsDigit(c)) return false;
    }
  }
  int whole_degrees = 0;
  for (size_t i = 0; i < degree_digits; ++i) {
    whole_degrees = whole_degrees * 10 + (field[i] - '0');
  }
  std::string_view minutes_text = field.substr(degree_digits);
  double minutes = 0.0;
  auto [end, ec] = std::from_chars(
      minutes_text.data(), minutes_text.data() + minutes_text.size(), minutes);
  if (ec != std::errc() || end != minutes_text.data() + minutes_text.size()) {
    return false;
  }
  if (minutes >= 60.0) return false;
  degrees = whole_degrees + minutes / 60.0;
  return true;
}

bool ParseRmcSentence(std::string_view body, GeoPosition& position) {
  std::string_view fields[kFirstUnusedField];
  size_t count = 0;
  bool more = true;
  while (count < kFirstUnusedField && more) {
    size_t comma = body.find(',');
    fields[count++] = body.substr(0, comma);
    more = comma != std::string_view::npos;
    if (more) body.remove_prefix(comma + 1);
  }
  // The E/W of the longitude is never the last field of an RMC sentence.
  if (count < kFirstUnusedField || !more) return false;
  if (fields[kAddress] != "GPRMC" || fields[kStatus] != "A") return false;

  double latitude = 0.0;
  double longitude = 0.0;
  if (!ParseCoordinate(fields[kLatitude], 2, latitude) ||
      !ParseCoordinate(fields[kLongitude], 3, longitude)) {
    return false;
  }
  if (fields[kNorthSouth] == "S") {
    latitude = -latitude;
  } else if (fields[kNorthSouth] != "N") {
    return false;
  }
  if (fields[kEastWest] == "W") {
    longitude = -longitude;
  } else if (fields[kEastWest] != "E") {
    return false;
  }
  if (latitude < -90.0 || latitude > 90.0 || longitude < -180.0 ||
      longitude > 180.0) {
    return false;
  }
  position.latitude = latitude;
  position.longitude = longitude;
  return true;
}

}  // namespace

bool ParseRmcPosition(std::string_view text, double& latitude,
                      double& longitude) {
  GeoPosition last;
  bool found = false;
  ForEachNmeaSentence(text, [&](std::string_view body) {
    if (ParseRmcSentence(body, last)) found = true;
  });
  if (found) {
    latitude = last.latitude;
    longitude = last.longitude;
  }
  return found;
}
