// Choosing a fix from gpsd's reports: a TPV as it comes, or the current
// fix in gpsd's answer to ?POLL when it is fresh enough to stand for the
// receiver's next sentence.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string_view>

#include "gps/nmea_window.h"

// How far gpsd's current fix may be from the system clock and still stand
// for the receiver's next sentence: a receiver sends once a second.
inline constexpr double kCurrentFixMaxAgeS = 1.0;

// A fix gpsd reports in a TPV.
struct GpsdFix {
  double latitude = 0, longitude = 0;
  double time_s = 0;       // its time, in seconds since the epoch
  char device[256] = {};   // the device gpsd named it by
};

// Whether `line` is a TPV of `device` (of any device when empty) that
// holds a position: mode 2 or 3, lat, lon and time as TakeCurrentFix
// wants them, whatever its age.
bool TakeTpv(std::string_view line, const char* device, GpsdFix& fix);

// Whether `line`, gpsd's answer to ?POLL, holds a fix of `device` (of any
// device when empty) that can be taken as the receiver's position now: a
// TPV of mode 2 or 3 with numeric, finite, in-range lat and lon and an
// ISO 8601 UTC time within kCurrentFixMaxAgeS of `now_s` (the system clock,
// in seconds since the epoch). When it does, fills the report's
// current_fix, latitude, longitude, fix_age_s and fix_device.
bool TakeCurrentFix(std::string_view line, const char* device, double now_s,
                    SnapshotReport& report);

// gpsd's string member `key`, or empty when there is none or it is not a
// string: what a peer sends decides no type here.
std::string_view GpsdText(const nlohmann::json& object, const char* key);
