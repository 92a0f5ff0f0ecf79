// navbeacon-gpssim: a GPS receiver on a pseudo-terminal.
//
// Opens a pseudo-terminal in raw mode, prints the path of its device, and
// sends a burst of NMEA sentences (GGA, GSA, GSV, RMC) once a second, paced
// at the baud rate as a real line would be, moving along a small circle
// (bursts.h), or the cycles of a recorded capture. Like a real receiver's
// tty, nothing is sent while no program has the device open, so a reader
// never sees old bursts (line.h).

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "gpssim/bursts.h"
#include "gpssim/device_link.h"
#include "gpssim/line.h"
#include "platform/break.h"
#include "platform/cleanup.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/read_args.h"
#include "platform/scoped_fd.h"
#include "platform/standard_options.h"

namespace {

struct Options {
  int32_t baud = 9600;
  Track track;
  int32_t count = -1;  // bursts to send; -1: no limit
  int32_t period_ms = 1000;
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

// The options, each at its OptionIndex.
enum OptionIndex { kBaud, kStart, kCount, kPeriod, kNoFix, kLink, kTrace, kReplay };
constexpr ToolOption kOptions[] = {
    {"baud", "a whole number of 50 or more"},
    {"start", "LAT,LON in decimal degrees, LAT from -89 to 89, LON from -180 to 180"},
    {"count", "a whole number of 1 or more"},
    {"period", "a whole number of 10 (ms) or more"},
    {"no-fix", nullptr},
    {"link", "a path"},
    {"trace", "a file"},
    {"replay", "a file"},
};

// Takes option kOptions[index]: 0, or -EINVAL for a value out of its range.
int Take(Options& options, size_t index, const char* value) {
  Track& track = options.track;
  char tail;
  switch (index) {
    case kBaud:
      return ParseInt32(value, options.baud) && options.baud >= 50 ? 0 : -EINVAL;
    case kStart:
      // Written so that NaN, which every comparison fails, is refused too.
      return sscanf(value, "%lf,%lf%c", &track.latitude, &track.longitude, &tail) == 2 &&
                     std::fabs(track.latitude) <= 89.0 && std::fabs(track.longitude) <= 180.0
                 ? 0
                 : -EINVAL;
    case kCount:
      return ParseInt32(value, options.count) && options.count >= 1 ? 0 : -EINVAL;
    case kPeriod:
      return ParseInt32(value, options.period_ms) && options.period_ms >= 10 ? 0 : -EINVAL;
    case kNoFix:
      track.fix = false;
      return 0;
    case kLink:
      options.link = value;
      return 0;
    case kTrace:
      options.trace = value;
      return 0;
    default:
      options.replay = value;
      return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  SetWarnPrefix("navbeacon-gpssim: ");
  Options options;
  const int status = ReadToolOptions(
      argc, argv, "navbeacon-gpssim", kOptions, Usage,
      [&options](size_t index, const char* value, std::string&) {
        return Take(options, index, value);
      });
  if (status >= 0) return status;
  std::vector<std::string> cycles;
  if (options.replay != nullptr) {
    std::string why;
    const int read = ReadCapture(options.replay, cycles, why);
    if (read < 0 && why.empty()) {
      fprintf(stderr, "navbeacon-gpssim: cannot read %s: %s\n", options.replay,
              FailureText(read));
    } else if (read < 0) {
      fprintf(stderr, "navbeacon-gpssim: %s\n", why.c_str());
    }
    if (read < 0) return 1;
  }
  InstallBreakHandler();
  CatchSignalAsBreak(SIGTERM);
  CatchSignalAsBreak(SIGHUP);

  ScopedFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  const int opened = !master || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0
                         ? NegativeErrno()
                         : 0;
  if (opened < 0) {
    fprintf(stderr, "navbeacon-gpssim: pseudo-terminal: %s\n", FailureText(opened));
    return 1;
  }
  const std::string device = ptsname(master.get());
  struct termios settings;
  tcgetattr(master.get(), &settings);
  cfmakeraw(&settings);
  tcsetattr(master.get(), TCSANOW, &settings);
  // Open and close the device once: from then on the master sees a
  // hang-up whenever no program has it open.
  ScopedFd(open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  OwnedLink link;
  if (options.link != nullptr) {
    std::string why;
    const int made = MakeDeviceLink(options.link, device, link, why);
    if (made == -EEXIST && !why.empty()) {
      fprintf(stderr,
              "navbeacon-gpssim: --link %s: %s; it is left alone: remove it or choose another "
              "path\n",
              options.link, why.c_str());
    } else if (made < 0) {
      fprintf(stderr, "navbeacon-gpssim: --link %s: %s\n", options.link, FailureText(made));
    }
    if (made < 0) return 1;
  }
  Owned<FILE, fclose> trace;
  if (options.trace != nullptr) {
    FILE* file = fopen(options.trace, "ae");
    const int error = file == nullptr ? NegativeErrno() : 0;
    if (error < 0) {
      fprintf(stderr, "navbeacon-gpssim: --trace %s: %s\n", options.trace, FailureText(error));
      return 1;
    }
    trace.reset(file);
  }
  std::optional<OpenWatch> opens;
  if (!cycles.empty()) {
    const int watched = opens.emplace().Start(device);
    if (watched < 0) {
      fprintf(stderr, "navbeacon-gpssim: watching the device's opens: %s\n",
              FailureText(watched));
      return 1;
    }
  }
  // The device's path is the first thing a caller needs: without it,
  // nothing can open the device.
  if (printf("%s\n", device.c_str()) < 0 || fflush(stdout) != 0) {
    const int error = NegativeErrno();
    fprintf(stderr, "navbeacon-gpssim: cannot print the device's path: %s\n",
            FailureText(error));
    return 1;
  }
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t period = int64_t{options.period_ms} * 1000000;
  // A burst that the line cannot carry within the period delays the next
  // to the next whole period after it: said, with the period it gives.
  size_t longest = Burst(options.track, 0, now).size();
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
      SendPaced(master.get(), Burst(options.track, index, start), options.baud, next,
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
