#include "gps/gpsd_fix.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

std::string_view GpsdText(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return {};
  return found->get_ref<const std::string&>();
}

namespace {

// Seconds since the epoch of gpsd's time ("2026-12-06T23:41:32.000Z",
// always UTC); false for anything else. timegm, not mktime: the local
// zone has no say.
bool ParseUtc(std::string_view text, double& seconds) {
  constexpr int kWidths[] = {4, 2, 2, 2, 2, 2};
  constexpr char kAfter[] = "--T::.";
  int fields[6];
  size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    fields[i] = 0;
    for (int digit = 0; digit < kWidths[i]; ++digit, ++at) {
      if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
      fields[i] = fields[i] * 10 + (text[at] - '0');
    }
    if (i < 5 && (at >= text.size() || text[at++] != kAfter[i])) return false;
  }
  double fraction = 0;
  if (at < text.size() && text[at] == '.') {
    double scale = 0.1;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      fraction += (text[at] - '0') * scale;
      scale /= 10;
    }
    if (text[at - 1] == '.') return false;
  }
  if (at + 1 != text.size() || text[at] != 'Z') return false;
  tm utc = {};
  utc.tm_year = fields[0] - 1900;
  utc.tm_mon = fields[1] - 1;
  utc.tm_mday = fields[2];
  utc.tm_hour = fields[3];
  utc.tm_min = fields[4];
  utc.tm_sec = fields[5];
  const time_t whole = timegm(&utc);
  // timegm carries what overflows (30 February is 2 March): a field out
  // of its range shows as a change.
  if (whole == -1 || utc.tm_mon != fields[1] - 1 || utc.tm_mday != fields[2] ||
      utc.tm_hour != fields[3] || utc.tm_min != fields[4] ||
      utc.tm_sec != fields[5]) {
    return false;
  }
  seconds = static_cast<double>(whole) + fraction;
  return true;
}

// gpsd's numeric member `key` as a finite double within `limit` of 0.
bool Coordinate(const nlohmann::json& object, const char* key, double limit,
                double& value) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return false;
  value = found->get<double>();
  return std::isfinite(value) && std::fabs(value) <= limit;
}

// A TPV of `device` (of any device when empty) with mode 2 or 3, numeric,
// finite, in-range lat and lon and an ISO 8601 UTC time.
bool ReadTpv(const nlohmann::json& fix, const char* device, GpsdFix& found) {
  if (!fix.is_object() || GpsdText(fix, "class") != "TPV") return false;
  const std::string_view from = GpsdText(fix, "device");
  if (from.empty() || (device[0] != '\0' && from != device)) return false;
  const auto mode = fix.find("mode");
  if (mode == fix.end() || !mode->is_number_integer() ||
      (*mode != 2 && *mode != 3) ||
      !Coordinate(fix, "lat", 90, found.latitude) ||
      !Coordinate(fix, "lon", 180, found.longitude) ||
      !ParseUtc(GpsdText(fix, "time"), found.time_s) ||
      from.size() >= sizeof found.device) {
    return false;
  }
  memcpy(found.device, from.data(), from.size());
  found.device[from.size()] = '\0';
  return true;
}

}  // namespace

bool TakeTpv(std::string_view line, const char* device, GpsdFix& fix) {
  const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
  return !object.is_discarded() && ReadTpv(object, device, fix);
}

bool TakeCurrentFix(std::string_view line, const char* device, double now_s,
                    SnapshotReport& report) {
  const nlohmann::json poll = nlohmann::json::parse(line, nullptr, false);
  if (poll.is_discarded() || !poll.is_object() || GpsdText(poll, "class") != "POLL") {
    return false;
  }
  const auto fixes = poll.find("tpv");
  if (fixes == poll.end() || !fixes->is_array()) return false;
  for (const nlohmann::json& each : *fixes) {
    GpsdFix fix;
    if (!ReadTpv(each, device, fix) ||
        !(std::fabs(now_s - fix.time_s) <= kCurrentFixMaxAgeS)) {
      continue;
    }
    report.current_fix = true;
    report.latitude = fix.latitude;
    report.longitude = fix.longitude;
    report.fix_age_s = std::max(0.0, now_s - fix.time_s);
    memcpy(report.fix_device, fix.device, sizeof report.fix_device);
    return true;
  }
  return false;
}
