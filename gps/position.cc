#include "gps/position.h"

#include <cstdint>
#include <algorithm>
#include <cstring>

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
  kFieldsNeeded  // the E/W is never the last field of an RMC sentence
};

constexpr char kRmcTalkers[][3] = {"GP", "GN", "GL", "GA", "GB",
                                   "BD", "GQ", "QZ", "GI"};

bool IsRmcAddress(std::string_view address) {
  if (address.size() != 5 || address.substr(2) != "RMC") return false;
  for (const char* talker : kRmcTalkers) {
    if (address[0] == talker[0] && address[1] == talker[1]) return true;
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "ddmm.mmmm" (degree_digits 2) or "dddmm.mmmm" (3) into degrees; the
// fraction is optional. False for anything else, or for minutes of 60 or
// more.
bool ParseCoordinate(std::string_view field, size_t degree_digits,
                     double& degrees) {
  size_t i = 0;
  int whole = 0;
  for (; i < field.size() && IsDigit(field[i]) && i <= degree_digits + 2; ++i) {
    whole = whole * 10 + (field[i] - '0');
  }
  if (i != degree_digits + 2) return false;
  // The minutes as one integer over a power of ten, so that the one
  // division rounds them exactly as reading the decimal text would.
  uint64_t numerator = whole % 100;
  uint64_t denominator = 1;
  if (i < field.size()) {
    if (field[i++] != '.') return false;
    for (; i < field.size(); ++i) {
      if (!IsDigit(field[i])) return false;
      if (denominator < 1000000000000000) {
        numerator = numerator * 10 + (field[i] - '0');
        denominator *= 10;
      }
    }
  }
  const double minutes =
      static_cast<double>(numerator) / static_cast<double>(denominator);
  if (minutes >= 60.0) return false;
  degrees = whole / 100 + minutes / 60.0;
  return true;
}

bool ParseHemisphere(std::string_view field, char positive, char negative,
                     double& value) {
  if (field.size() != 1) return false;
  if (field[0] == negative) {
    value = -value;
    return true;
  }
  return field[0] == positive;
}

// The position of an RMC sentence whose framing and checksum were checked;
// `fields` holds its first kFieldsNeeded fields.
bool RmcPosition(const std::string_view (&fields)[kFieldsNeeded],
                 GeoPosition& position) {
  double latitude, longitude;
  if (fields[kStatus] != "A" ||
      !ParseCoordinate(fields[kLatitude], 2, latitude) ||
      !ParseCoordinate(fields[kLongitude], 3, longitude) ||
      !ParseHemisphere(fields[kNorthSouth], 'N', 'S', latitude) ||
      !ParseHemisphere(fields[kEastWest], 'E', 'W', longitude) ||
      latitude < -90.0 || latitude > 90.0 || longitude < -180.0 ||
      longitude > 180.0) {
    return false;
  }
  position.latitude = latitude;
  position.longitude = longitude;
  return true;
}

void CountType(NmeaTally& tally, std::string_view address) {
  if (address.size() >= sizeof tally.types[0]) return;
  for (size_t i = 0; i < tally.type_count; ++i) {
    if (address == tally.types[i]) return;
  }
  if (tally.type_count == NmeaTally::kMaxTypes) return;
  memcpy(tally.types[tally.type_count++], address.data(), address.size());
}

}  // namespace

bool ParseRmcPosition(std::string_view text, double& latitude,
                      double& longitude, NmeaTally* tally) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  GeoPosition last;
  bool found = false;
  const char* p = begin;
  while (p < end) {
    // Whatever lies before a "$" is noise, line ends included.
    p = static_cast<const char*>(memchr(p, '$', end - p));
    if (p == nullptr) break;
    const char* const body = ++p;
    // The address decides early whether the walk needs this sentence.
    const char* comma =
        static_cast<const char*>(memchr(body, ',', std::min<size_t>(end - body, 8)));
    const bool rmc =
        comma != nullptr && IsRmcAddress(std::string_view(body, comma - body));
    if (!rmc && tally == nullptr) continue;

    // One walk through the body: checksum and field boundaries together.
    std::string_view fields[kFieldsNeeded];
    size_t field_count = 0;
    const char* field_start = body;
    uint8_t sum = 0;
    for (; p < end; ++p) {
      const char c = *p;
      if (c < 0x20 || c > 0x7e || c == '*' || c == '$') break;
      sum ^= static_cast<uint8_t>(c);
      if (c == ',' && field_count < kFieldsNeeded) {
        fields[field_count++] = std::string_view(field_start, p - field_start);
        field_start = p + 1;
      }
    }
    // "*HH", then the line end or the end of the text.
    if (p == end || *p != '*') continue;
    const bool framed = end - p >= 3 && HexDigit(p[1]) >= 0 &&
                        HexDigit(p[2]) >= 0 &&
                        (end - p == 3 || p[3] == '\r' || p[3] == '\n');
    if (!framed) continue;
    const bool sum_matches = HexDigit(p[1]) * 16 + HexDigit(p[2]) == sum;
    // The address ends at the first comma of the body, or with the body.
    const std::string_view address(
        body, (comma != nullptr && comma < p ? comma : p) - body);
    p += 3;
    if (!sum_matches) {
      if (tally != nullptr && rmc) ++tally->rmc_bad_checksum;
      continue;
    }
    if (tally != nullptr) {
      ++tally->sentences;
      CountType(*tally, address);
    }
    if (!rmc) continue;
    if (tally != nullptr) {
      ++tally->rmc;
      if (field_count > kStatus && fields[kStatus] != "A") ++tally->rmc_no_fix;
    }
    if (field_count == kFieldsNeeded && RmcPosition(fields, last)) {
      found = true;
    }
  }
  if (found) {
    latitude = last.latitude;
    longitude = last.longitude;
  }
  return found;
}
