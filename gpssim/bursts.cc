#include "gpssim/bursts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "gps/nmea.h"
#include "platform/errors.h"
#include "platform/scoped_fd.h"

namespace {

// "ddmm.mmmm" / "dddmm.mmmm" and the hemisphere letter.
void FormatCoordinate(double degrees, int degree_digits, char positive,
                      char negative, char* text, size_t size, char& side) {
  side = degrees < 0 ? negative : positive;
  degrees = std::fabs(degrees);
  int whole = static_cast<int>(degrees);
  double minutes = (degrees - whole) * 60.0;
  if (minutes >= 59.99995) {  // would print as 60.0000
    ++whole;
    minutes = 0.0;
  }
  snprintf(text, size, "%0*d%07.4f", degree_digits, whole, minutes);
}

}  // namespace

std::string Burst(const Track& track, long index, const timespec& now) {
  constexpr double kRadiusMetres = 200.0;
  constexpr double kMetresPerDegree = 111320.0;
  const double angle = 2 * M_PI * (index % 120) / 120.0;
  const double latitude =
      track.latitude + kRadiusMetres * std::sin(angle) / kMetresPerDegree;
  // Past 180 east is west of -180: a track around the date line crosses it.
  const double longitude = std::remainder(
      track.longitude + kRadiusMetres * std::cos(angle) /
                              (kMetresPerDegree *
                               std::cos(track.latitude * M_PI / 180.0)),
      360.0);
  char lat[32], lon[32], ns, ew;
  FormatCoordinate(latitude, 2, 'N', 'S', lat, sizeof lat, ns);
  FormatCoordinate(longitude, 3, 'E', 'W', lon, sizeof lon, ew);
  struct tm utc;
  gmtime_r(&now.tv_sec, &utc);
  // Hundredths of the second, so that bursts within one second are fixes
  // of their own.
  char time[32], date[8];
  snprintf(time, sizeof time, "%02d%02d%02d.%02d", utc.tm_hour, utc.tm_min,
           utc.tm_sec, static_cast<int>(now.tv_nsec / 10000000 % 100));
  strftime(date, sizeof date, "%d%m%y", &utc);
  const double course = std::fmod(angle * 180.0 / M_PI + 90.0, 360.0);
  const double knots = 2 * M_PI * kRadiusMetres / 120.0 / 0.514444;

  char body[256];
  std::string burst;
  if (!track.fix) {
    // As a receiver without a fix says it: no position, quality 0, GSA's
    // mode 1, RMC's status V.
    snprintf(body, sizeof body, "GPGGA,%s,,,,,0,00,99.99,,M,,M,,", time);
    burst += FrameNmeaSentence(body);
    burst += SatelliteSentences(false);
    snprintf(body, sizeof body, "GPRMC,%s,V,,,,,,,%s,,,N", time, date);
    burst += FrameNmeaSentence(body);
    return burst;
  }
  snprintf(body, sizeof body, "GPGGA,%s,%s,%c,%s,%c,1,08,0.9,545.4,M,46.9,M,,",
           time, lat, ns, lon, ew);
  burst += FrameNmeaSentence(body);
  burst += SatelliteSentences();
  snprintf(body, sizeof body, "GPRMC,%s,%s,%s,%c,%s,%c,%05.1f,%05.1f,%s,,,A",
           time, "A", lat, ns, lon, ew, knots, course, date);
  burst += FrameNmeaSentence(body);
  return burst;
}

namespace {

// The time field of a sentence that has one ("123519.00"), or "".
std::string_view SentenceTime(std::string_view line) {
  const size_t dollar = line.find('$');
  if (dollar == std::string_view::npos || line.size() < dollar + 7) return "";
  const std::string_view type = line.substr(dollar + 3, 3);
  int field = 0;
  for (auto [name, index] : {std::pair{"RMC", 1}, {"GGA", 1}, {"GNS", 1},
                             {"GBS", 1}, {"GST", 1}, {"ZDA", 1}, {"GLL", 5}}) {
    if (type == name) field = index;
  }
  if (field == 0) return "";
  size_t start = dollar;
  for (int i = 0; i < field; ++i) {
    start = line.find(',', start);
    if (start == std::string_view::npos) return "";
    ++start;
  }
  return line.substr(start, line.find_first_of(",*\r\n", start) - start);
}

// The capture cut into receiver cycles: a cycle ends where the sentences'
// time changes. Lines keep their own endings.
std::vector<std::string> Cycles(const std::string& capture) {
  std::vector<std::string> cycles(1);
  std::string cycle_time;
  size_t start = 0;
  while (start < capture.size()) {
    size_t end = capture.find('\n', start);
    end = end == std::string::npos ? capture.size() : end + 1;
    const std::string_view line(capture.data() + start, end - start);
    const std::string_view time = SentenceTime(line);
    if (!time.empty() && time != cycle_time) {
      if (!cycle_time.empty()) cycles.emplace_back();
      cycle_time = time;
    }
    cycles.back().append(line);
    start = end;
  }
  return cycles;
}

}  // namespace

int ReadCapture(const char* path, std::vector<std::string>& cycles, std::string& why) {
  // A capture is read whole; a few minutes of a receiver are far less
  // than this, and a device that never ends (/dev/zero) must not be.
  constexpr size_t kMaxCapture = 4 << 20;
  const ScopedFd in(open(path, O_RDONLY | O_CLOEXEC));
  if (!in) return NegativeErrno();
  std::string capture(kMaxCapture + 1, '\0');
  size_t size = 0;
  while (size < capture.size()) {
    const ssize_t got = read(in.get(), capture.data() + size, capture.size() - size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return NegativeErrno();
    if (got == 0) break;
    size += static_cast<size_t>(got);
  }
  capture.resize(size);
  if (capture.size() > kMaxCapture) {
    why = std::string(path) +
          " holds more than 4 MiB, more than a capture should; replay a shorter part of it";
    return -EFBIG;
  }
  if (capture.empty()) {
    why = std::string(path) + " is empty: there is no capture to replay";
    return -EINVAL;
  }
  // A sentence begins a line with "$" (or "!", as AIS does).
  bool sentence = false;
  for (size_t at = 0; at != std::string::npos && at < capture.size() && !sentence;) {
    sentence = capture[at] == '$' || capture[at] == '!';
    at = capture.find('\n', at);
    if (at != std::string::npos) ++at;
  }
  if (!sentence) {
    why = std::string(path) +
          " holds no NMEA sentence (no line begins with $ or !): there is nothing to replay";
    return -EINVAL;
  }
  cycles = Cycles(capture);
  return 0;
}
