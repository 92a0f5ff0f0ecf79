// What navbeacon-gpssim sends: a burst of its own made-up track, or the
// cycles of a recorded capture.
#pragma once

#include <ctime>
#include <string>
#include <vector>

// The simulated receiver's track: a circle of 200 m around a centre.
struct Track {
  double latitude = 48.1173;
  double longitude = 11.5167;
  bool fix = true;  // false: a receiver without a fix
};

// The sentences of burst `index` (GGA, GSA, GSV, RMC), their time `now`:
// the position moves a 120th of the circle a burst.
std::string Burst(const Track& track, long index, const timespec& now);

// Reads the NMEA capture at `path` (4 MiB at most) and cuts it into
// receiver cycles: a cycle ends where the sentences' time changes, and
// lines keep their own endings. 0; the negative errno of a failed read;
// or -EFBIG or -EINVAL with `why` saying what is wrong with the capture
// (too big, empty, no sentence in it).
int ReadCapture(const char* path, std::vector<std::string>& cycles, std::string& why);
