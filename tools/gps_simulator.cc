// navbeacon-gpssim: a GPS receiver on a pseudo-terminal.
//
// Opens a pseudo-terminal in raw mode, prints the path of its device, and
// sends a burst of NMEA sentences (GGA, GSA, GSV, RMC) once a second, paced
// at the baud rate as a real line would be, moving along a small circle.
// Like a real receiver's tty, nothing is sent while no program has the
// device open, so a reader never sees old bursts.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "gps/nmea.h"
#include "platform/break.h"
#include "platform/read_args.h"
#include "tools/standard_options.h"

namespace {

struct Options {
  int32_t baud = 9600;
  double latitude = 48.1173;
  double longitude = 11.5167;
  int32_t count = -1;  // bursts to send; -1: no limit
  int32_t period_ms = 1000;
  bool fix = true;
  const char* link = nullptr;
  const char* trace = nullptr;
  const char* replay = nullptr;
};

void Usage(FILE* out) {
  fprintf(out,
          "Usage: navbeacon-gpssim [--baud RATE] [--start LAT,LON] "
          "[--count N]\n"
          "                        [--period MS] [--no-fix] [--link PATH]\n"
          "                        [--trace FILE] [--replay FILE]\n"
          "\n"
          "Simulates a GPS receiver on a pseudo-terminal: prints the device's\n"
          "path on the first line, then sends GGA, GSA, GSV and RMC sentences\n"
          "once a second (while a program has the device open), paced at the\n"
          "baud rate, moving along a circle of 200 m around the start.\n"
          "Try:  navbeacon \"$(navbeacon-gpssim | head -1)\" 0 9600 POSITION\n"
          "\n"
          "  --baud RATE      line speed used for pacing (default 9600)\n"
          "  --start LAT,LON  centre of the track in decimal degrees\n"
          "                   (default 48.1173,11.5167)\n"
          "  --count N        stop after N bursts\n"
          "  --period MS      time between bursts (default 1000)\n"
          "  --no-fix         report no fix (status V)\n"
          "  --link PATH      also make PATH a symbolic link to the device\n"
          "  --trace FILE     append \"rmc <ns>\" (CLOCK_REALTIME) to FILE when\n"
          "                   the last byte of each RMC sentence is written\n"
          "  --replay FILE    send this NMEA capture instead, one receiver cycle\n"
          "                   (sentences of one time) a period, from its start\n"
          "                   each time a program opens the device, looping\n"
          "Ends on Ctrl-C or SIGTERM.\n");
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view option = argv[i];
    if (option == "--no-fix") {
      options.fix = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (option == "--baud") {
      if (!ParseInt32(value, options.baud) || options.baud < 50) return false;
    } else if (option == "--count") {
      if (!ParseInt32(value, options.count) || options.count < 1) return false;
    } else if (option == "--period") {
      if (!ParseInt32(value, options.period_ms) || options.period_ms < 10) {
        return false;
      }
    } else if (option == "--start") {
      char tail;
      if (sscanf(value, "%lf,%lf%c", &options.latitude, &options.longitude,
                 &tail) != 2 ||
          std::fabs(options.latitude) > 89.0 ||
          std::fabs(options.longitude) > 180.0) {
        return false;
      }
    } else if (option == "--link") {
      options.link = value;
    } else if (option == "--trace") {
      options.trace = value;
    } else if (option == "--replay") {
      options.replay = value;
    } else {
      return false;
    }
  }
  return true;
}

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

std::string Burst(const Options& options, long index, const timespec& now) {
  constexpr double kRadiusMetres = 200.0;
  constexpr double kMetresPerDegree = 111320.0;
  const double angle = 2 * M_PI * (index % 120) / 120.0;
  const double latitude =
      options.latitude + kRadiusMetres * std::sin(angle) / kMetresPerDegree;
  const double longitude =
      options.longitude + kRadiusMetres * std::cos(angle) /
                              (kMetresPerDegree *
                               std::cos(options.latitude * M_PI / 180.0));
  char lat[32], lon[32], ns, ew;
  FormatCoordinate(latitude, 2, 'N', 'S', lat, sizeof lat, ns);
  FormatCoordinate(longitude, 3, 'E', 'W', lon, sizeof lon, ew);
  struct tm utc;
  gmtime_r(&now.tv_sec, &utc);
  char time[16], date[8];
  strftime(time, sizeof time, "%H%M%S.00", &utc);
  strftime(date, sizeof date, "%d%m%y", &utc);
  const double course = std::fmod(angle * 180.0 / M_PI + 90.0, 360.0);
  const double knots = 2 * M_PI * kRadiusMetres / 120.0 / 0.514444;
  const char* status = options.fix ? "A" : "V";

  char body[256];
  std::string burst;
  snprintf(body, sizeof body, "GPGGA,%s,%s,%c,%s,%c,%d,08,0.9,545.4,M,46.9,M,,",
           time, lat, ns, lon, ew, options.fix ? 1 : 0);
  burst += FrameNmeaSentence(body);
  burst += SatelliteSentences();
  snprintf(body, sizeof body, "GPRMC,%s,%s,%s,%c,%s,%c,%05.1f,%05.1f,%s,,,%s",
           time, status, lat, ns, lon, ew, knots, course, date,
           options.fix ? "A" : "N");
  burst += FrameNmeaSentence(body);
  return burst;
}

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

int64_t Nanoseconds(const timespec& time) {
  return int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
}

timespec FromNanoseconds(int64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000),
                  static_cast<long>(ns % 1000000000)};
}

// Sleeps until the realtime clock reads `when`; false on Ctrl-C.
bool SleepUntil(int64_t when) {
  while (!BreakRequested()) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t left = when - Nanoseconds(now);
    if (left <= 0) return true;
    struct pollfd watched = {BreakFd(), POLLIN, 0};
    timespec wait = FromNanoseconds(left);
    ppoll(&watched, 1, &wait, nullptr);
  }
  return false;
}

// True while a program has the device open (the master sees no hang-up).
bool DeviceOpen(int master) {
  struct pollfd watched = {master, POLLOUT, 0};
  return poll(&watched, 1, 0) >= 0 && !(watched.revents & POLLHUP);
}

// Sends the burst as the line would carry it: 10 bits a byte. Bytes that
// fall due while no program has the device open are lost, as they are on a
// real receiver's tty. Logs the end of the RMC sentence (its checksum) to
// `trace` when it was delivered.
void SendPaced(int master, const std::string& burst, int32_t baud,
               int64_t start, FILE* trace) {
  const int64_t byte_ns = 10 * int64_t{1000000000} / baud;
  const size_t rmc_start = burst.rfind('$');  // the RMC sentence ends it
  size_t sent = 0;
  const size_t rmc_end = burst.size() - 2;
  bool rmc_delivered = true;
  bool traced = false;
  while (sent < burst.size() && !BreakRequested()) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    size_t due = static_cast<size_t>((Nanoseconds(now) - start) / byte_ns) + 1;
    if (due > burst.size()) due = burst.size();
    if (due > sent) {
      if (DeviceOpen(master)) {
        ssize_t written = write(master, burst.data() + sent, due - sent);
        if (written <= 0) return;
        sent += static_cast<size_t>(written);
      } else {
        sent = due;
        if (due > rmc_start) rmc_delivered = false;
      }
      // The sentence is complete at its checksum; CR LF follow.
      if (!traced && sent >= rmc_end && rmc_delivered && trace != nullptr) {
        traced = true;
        clock_gettime(CLOCK_REALTIME, &now);
        fprintf(trace, "rmc %lld\n", static_cast<long long>(Nanoseconds(now)));
        fflush(trace);
      }
    }
    if (!SleepUntil(start + static_cast<int64_t>(sent) * byte_ns)) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status;
  if (AnswerStandardOption(argc, argv, "navbeacon-gpssim", Usage, status)) return status;
  if (!ParseOptions(argc, argv, options)) {
    Usage(stderr);
    return 2;
  }
  std::vector<std::string> cycles;
  if (options.replay != nullptr) {
    std::ifstream in(options.replay, std::ios::binary);
    std::ostringstream capture;
    capture << in.rdbuf();
    if (!in || capture.str().empty()) {
      fprintf(stderr, "navbeacon-gpssim: cannot read %s\n", options.replay);
      return 1;
    }
    cycles = Cycles(capture.str());
  }
  InstallBreakHandler();
  CatchSignalAsBreak(SIGTERM);
  CatchSignalAsBreak(SIGHUP);

  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    perror("navbeacon-gpssim: pseudo-terminal");
    return 1;
  }
  const std::string device = ptsname(master);
  struct termios settings;
  tcgetattr(master, &settings);
  cfmakeraw(&settings);
  tcsetattr(master, TCSANOW, &settings);
  // Open and close the device once: from then on the master sees a
  // hang-up whenever no program has it open.
  int slave = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave >= 0) close(slave);
  if (options.link != nullptr) {
    unlink(options.link);
    if (symlink(device.c_str(), options.link) != 0) {
      perror("navbeacon-gpssim: --link");
      return 1;
    }
  }
  FILE* trace = nullptr;
  if (options.trace != nullptr) {
    trace = fopen(options.trace, "ae");
    if (trace == nullptr) {
      perror("navbeacon-gpssim: --trace");
      return 1;
    }
  }
  printf("%s\n", device.c_str());
  fflush(stdout);
  fprintf(stderr, "navbeacon-gpssim: %s at %d baud, a burst every %d ms\n",
          device.c_str(), options.baud, options.period_ms);

  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t period = int64_t{options.period_ms} * 1000000;
  // Bursts start on whole periods of the clock, as receivers send on the
  // second.
  int64_t next = (Nanoseconds(now) / period + 1) * period;
  size_t cycle = 0;
  bool was_open = false;
  for (long index = 0; options.count < 0 || index < options.count; ++index) {
    if (!SleepUntil(next)) break;
    const timespec start = FromNanoseconds(next);
    if (cycles.empty()) {
      SendPaced(master, Burst(options, index, start), options.baud, next,
                trace);
    } else {
      // A capture starts over for each program that opens the device.
      const bool open = DeviceOpen(master);
      if (open && !was_open) cycle = 0;
      was_open = open;
      if (open) {
        SendPaced(master, cycles[cycle], options.baud, next, nullptr);
        cycle = (cycle + 1) % cycles.size();
      }
    }
    // A cycle longer than the period delays the next one.
    clock_gettime(CLOCK_REALTIME, &now);
    next += period;
    if (next < Nanoseconds(now)) next = (Nanoseconds(now) / period + 1) * period;
  }
  if (trace != nullptr) fclose(trace);
  if (options.link != nullptr) unlink(options.link);
  close(master);
  return 0;
}
