// navbeacon-gpssim: a GPS receiver on a pseudo-terminal.
//
// Opens a pseudo-terminal in raw mode, prints the path of its device, and
// sends a burst of NMEA sentences (GGA, GSA, GSV, RMC) once a second, paced
// at the baud rate as a real line would be, moving along a small circle.
// Like a real receiver's tty, nothing is sent while no program has the
// device open, so a reader never sees old bursts.

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gps/nmea.h"
#include "platform/break.h"
#include "platform/read_args.h"
#include "platform/scoped_fd.h"
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
          "Try (the text reaches navbeacon through a pipe, so no receiver need\n"
          "be on the USB bus):\n"
          "  navbeacon-gpssim --count 3 | (read t; cat $t | navbeacon /dev/stdin 0 0 POSITION)\n"
          "\n"
          "  --baud RATE      line speed used for pacing, 50 or more (default 9600)\n"
          "  --start LAT,LON  centre of the track in decimal degrees, LAT from -89\n"
          "                   to 89, LON from -180 to 180 (default 48.1173,11.5167)\n"
          "  --count N        stop after N bursts, 1 or more\n"
          "  --period MS      time between bursts, 10 or more (default 1000); a\n"
          "                   burst longer at RATE delays the next to the next\n"
          "                   whole period, said at start\n"
          "  --no-fix         report no fix: no position, GGA quality 0, GSA\n"
          "                   mode 1, RMC status V\n"
          "  --link PATH      also make PATH a symbolic link to the device; only\n"
          "                   a link left by a simulator that has ended is replaced\n"
          "  --trace FILE     append \"rmc <ns>\" (CLOCK_REALTIME) to FILE when\n"
          "                   the last byte of each RMC sentence is written\n"
          "  --replay FILE    send this NMEA capture instead, one receiver cycle\n"
          "                   (sentences of one time) a period, from its start\n"
          "                   each time a program opens the device, looping\n"
          "                   (at most 4 MiB)\n"
          "Ends on Ctrl-C, SIGTERM or SIGHUP, or after --count bursts.\n");
}

// False with `why` saying which argument was wrong and how.
bool ParseOptions(int argc, char** argv, Options& options, std::string& why) {
  for (int i = 1; i < argc; ++i) {
    why = std::string(argv[i]) + (i + 1 < argc ? std::string(" ") + argv[i + 1] : "") +
          ": not an option, or its value is missing";
    std::string_view option = argv[i];
    if (option == "--no-fix") {
      options.fix = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (option == "--baud") {
      why = std::string("--baud ") + value + ": a whole number of 50 or more";
      if (!ParseInt32(value, options.baud) || options.baud < 50) return false;
    } else if (option == "--count") {
      why = std::string("--count ") + value + ": a whole number of 1 or more";
      if (!ParseInt32(value, options.count) || options.count < 1) return false;
    } else if (option == "--period") {
      why = std::string("--period ") + value + ": a whole number of 10 (ms) or more";
      if (!ParseInt32(value, options.period_ms) || options.period_ms < 10) {
        return false;
      }
    } else if (option == "--start") {
      char tail;
      why = std::string("--start ") + value +
            ": LAT,LON in decimal degrees, LAT from -89 to 89, LON from -180 to 180";
      // Written so that NaN, which every comparison fails, is refused too.
      if (sscanf(value, "%lf,%lf%c", &options.latitude, &options.longitude,
                 &tail) != 2 ||
          !(std::fabs(options.latitude) <= 89.0) ||
          !(std::fabs(options.longitude) <= 180.0)) {
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
  // Past 180 east is west of -180: a track around the date line crosses it.
  const double longitude = std::remainder(
      options.longitude + kRadiusMetres * std::cos(angle) /
                              (kMetresPerDegree *
                               std::cos(options.latitude * M_PI / 180.0)),
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
  if (!options.fix) {
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

// Tells each new open of the device, however soon it follows a close:
// inotify queues every open, where a poll of the master between bursts
// misses a close and an open in between.
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& device)
      : events_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (!events_ || inotify_add_watch(events_.get(), device.c_str(), IN_OPEN) < 0) {
      perror("navbeacon-gpssim: watching the device's opens");
      events_ = ScopedFd();
    }
  }
  explicit operator bool() const { return static_cast<bool>(events_); }

  // True when a program has opened the device since the last call. Only
  // opens are watched, so every event is one.
  bool Reopened() {
    alignas(inotify_event) char events[4096];
    bool opened = false;
    while (read(events_.get(), events, sizeof events) > 0) opened = true;
    return opened;
  }

 private:
  ScopedFd events_;
};

// Sends the burst as the line would carry it: 10 bits a byte. Bytes that
// fall due while no program has the device open are lost, as they are on a
// real receiver's tty. Logs the end of the RMC sentence (its checksum) to
// `trace` when it was delivered. With `opens`, a new open of the device
// cuts the burst short, and the result is true.
bool SendPaced(int master, const std::string& burst, int32_t baud,
               int64_t start, FILE* trace, OpenWatch* opens) {
  const int64_t byte_ns = 10 * int64_t{1000000000} / baud;
  const size_t rmc_start = burst.rfind('$');  // the RMC sentence ends it
  size_t sent = 0;
  const size_t rmc_end = burst.size() - 2;
  bool rmc_delivered = true;
  bool traced = false;
  while (sent < burst.size() && !BreakRequested()) {
    if (opens != nullptr && opens->Reopened()) return true;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    size_t due = static_cast<size_t>((Nanoseconds(now) - start) / byte_ns) + 1;
    if (due > burst.size()) due = burst.size();
    if (due > sent) {
      if (DeviceOpen(master)) {
        ssize_t written = write(master, burst.data() + sent, due - sent);
        if (written <= 0) return false;
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
    if (!SleepUntil(start + static_cast<int64_t>(sent) * byte_ns)) break;
  }
  return false;
}

// The --link. Only what a simulator made is replaced: nothing, or a link
// to a pseudo-terminal that is gone or whose number a newer terminal has
// taken since the link was made (the simulator that made it has ended).
// The link is removed at the end while it still leads to this device.
class Link {
 public:
  ~Link() {
    if (path_ != nullptr && Target(path_) == device_) unlink(path_);
  }

  // False, after saying why, when PATH holds anything else.
  bool Make(const char* path, const std::string& device) {
    struct stat link, terminal;
    if (lstat(path, &link) == 0) {
      const std::string target = Target(path);
      const char* why = nullptr;
      const bool pts = target.size() > 9 && target.starts_with("/dev/pts/") &&
                       target.find_first_not_of("0123456789", 9) == std::string::npos;
      if (!S_ISLNK(link.st_mode)) {
        why = "it is not a symbolic link";
      } else if (!pts) {
        why = "it links to something other than a pseudo-terminal";
      } else if (stat(target.c_str(), &terminal) == 0 &&
                 Nanoseconds(terminal.st_ctim) <= Nanoseconds(link.st_ctim)) {
        why = "the pseudo-terminal it links to is in use (by another simulator?)";
      }
      if (why != nullptr) {
        fprintf(stderr,
                "navbeacon-gpssim: --link %s: %s; it is left alone: remove "
                "it or choose another path\n",
                path, why);
        return false;
      }
      unlink(path);
    }
    if (symlink(device.c_str(), path) != 0) {
      fprintf(stderr, "navbeacon-gpssim: --link %s: %s\n", path, strerror(errno));
      return false;
    }
    path_ = path;
    device_ = device;
    return true;
  }

 private:
  static std::string Target(const char* path) {
    char target[64];
    const ssize_t size = readlink(path, target, sizeof target);
    return size > 0 && size < static_cast<ssize_t>(sizeof target)
               ? std::string(target, static_cast<size_t>(size))
               : "";
  }

  const char* path_ = nullptr;
  std::string device_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status;
  if (AnswerStandardOption(argc, argv, "navbeacon-gpssim", Usage, status)) return status;
  std::string why;
  if (!ParseOptions(argc, argv, options, why)) {
    fprintf(stderr, "navbeacon-gpssim: %s; navbeacon-gpssim --help lists the options\n",
            why.c_str());
    return 2;
  }
  std::vector<std::string> cycles;
  if (options.replay != nullptr) {
    // A capture is read whole; a few minutes of a receiver are far less
    // than this, and a device that never ends (/dev/zero) must not be.
    constexpr std::streamsize kMaxCapture = 4 << 20;
    std::string capture(kMaxCapture + 1, '\0');
    std::ifstream in(options.replay, std::ios::binary);
    in.read(capture.data(), kMaxCapture + 1);
    capture.resize(static_cast<size_t>(in.gcount()));
    if (capture.size() > kMaxCapture) {
      fprintf(stderr,
              "navbeacon-gpssim: %s holds more than 4 MiB, more than a "
              "capture should; replay a shorter part of it\n",
              options.replay);
      return 1;
    }
    if (!in.is_open() || in.bad()) {
      fprintf(stderr, "navbeacon-gpssim: cannot read %s: %s\n", options.replay,
              strerror(errno));
      return 1;
    }
    if (capture.empty()) {
      fprintf(stderr, "navbeacon-gpssim: %s is empty: there is no capture to replay\n",
              options.replay);
      return 1;
    }
    // A sentence begins a line with "$" (or "!", as AIS does).
    bool sentence = false;
    for (size_t at = 0; at != std::string::npos && at < capture.size() && !sentence;) {
      sentence = capture[at] == '$' || capture[at] == '!';
      at = capture.find('\n', at);
      if (at != std::string::npos) ++at;
    }
    if (!sentence) {
      fprintf(stderr,
              "navbeacon-gpssim: %s holds no NMEA sentence (no line begins "
              "with $ or !): there is nothing to replay\n",
              options.replay);
      return 1;
    }
    cycles = Cycles(capture);
  }
  InstallBreakHandler();
  CatchSignalAsBreak(SIGTERM);
  CatchSignalAsBreak(SIGHUP);

  ScopedFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
    perror("navbeacon-gpssim: pseudo-terminal");
    return 1;
  }
  const std::string device = ptsname(master.get());
  struct termios settings;
  tcgetattr(master.get(), &settings);
  cfmakeraw(&settings);
  tcsetattr(master.get(), TCSANOW, &settings);
  // Open and close the device once: from then on the master sees a
  // hang-up whenever no program has it open.
  int slave = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave >= 0) close(slave);
  Link link;
  if (options.link != nullptr && !link.Make(options.link, device)) return 1;
  std::unique_ptr<FILE, int (*)(FILE*)> trace(nullptr, fclose);
  if (options.trace != nullptr) {
    trace.reset(fopen(options.trace, "ae"));
    if (trace == nullptr) {
      fprintf(stderr, "navbeacon-gpssim: --trace %s: %s\n", options.trace,
              strerror(errno));
      return 1;
    }
  }
  std::optional<OpenWatch> opens;
  if (!cycles.empty() && !opens.emplace(device)) return 1;
  // The device's path is the first thing a caller needs: without it,
  // nothing can open the device.
  if (printf("%s\n", device.c_str()) < 0 || fflush(stdout) != 0) {
    fprintf(stderr, "navbeacon-gpssim: cannot print the device's path: %s\n",
            strerror(errno));
    return 1;
  }
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t period = int64_t{options.period_ms} * 1000000;
  // A burst that the line cannot carry within the period delays the next
  // to the next whole period after it: said, with the period it gives.
  size_t longest = Burst(options, 0, now).size();
  for (const std::string& each : cycles) longest = std::max(longest, each.size());
  const int64_t burst_ns = static_cast<int64_t>(longest) * 10 * 1000000000 / options.baud;
  const int64_t real_ms = (burst_ns + period - 1) / period * options.period_ms;
  fprintf(stderr, "navbeacon-gpssim: %s at %d baud, a burst every %lld ms\n",
          device.c_str(), options.baud, static_cast<long long>(real_ms));
  if (real_ms > options.period_ms) {
    fprintf(stderr,
            "navbeacon-gpssim: a burst of %zu bytes takes %lld ms at %d baud, more "
            "than --period %d: one burst every %lld ms\n",
            longest, static_cast<long long>(burst_ns / 1000000), options.baud,
            options.period_ms, static_cast<long long>(real_ms));
  }
  // Bursts start on whole periods of the clock, as receivers send on the
  // second.
  int64_t next = (Nanoseconds(now) / period + 1) * period;
  size_t cycle = 0;
  for (long index = 0; options.count < 0 || index < options.count; ++index) {
    if (!SleepUntil(next)) break;
    const timespec start = FromNanoseconds(next);
    if (cycles.empty()) {
      SendPaced(master.get(), Burst(options, index, start), options.baud, next,
                trace.get(), nullptr);
    } else {
      // A capture starts over for each program that opens the device; one
      // that opens it during a cycle gets the capture's start next period.
      if (opens->Reopened()) cycle = 0;
      if (DeviceOpen(master.get())) {
        const bool reopened =
            SendPaced(master.get(), cycles[cycle], options.baud, next, nullptr, &*opens);
        cycle = reopened ? 0 : (cycle + 1) % cycles.size();
      }
    }
    // A cycle longer than the period delays the next one.
    clock_gettime(CLOCK_REALTIME, &now);
    next += period;
    if (next < Nanoseconds(now)) next = (Nanoseconds(now) / period + 1) * period;
  }
  return 0;
}
