#include "gps/fix_stream.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "gps/gpsd_connection.h"
#include "gps/gpsd_fix.h"
#include "gps/position.h"
#include "platform/break.h"
#include "platform/console.h"
#include "platform/wait.h"

namespace {

// The time field of the RMC sentence that ends `line` ("123519.00").
std::string_view RmcTime(std::string_view line) {
  const size_t dollar = line.rfind('$');
  if (dollar == std::string_view::npos) return {};
  std::string_view rest = line.substr(dollar);
  const size_t comma = rest.find(',');
  if (comma == std::string_view::npos) return {};
  rest = rest.substr(comma + 1);
  return rest.substr(0, rest.find(','));
}

int64_t MonotonicUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

// A byte on the line: a start bit, 8 data bits, a stop bit.
int64_t ByteUs(uint32_t baud) { return baud > 0 ? 10000000 / baud : 0; }

double SystemClockS() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

}  // namespace

FixStream::FixStream(const char* device, int32_t unit, uint32_t baud,
                     bool verbose)
    : device_name_(device != nullptr ? device : ""),
      unit_(unit),
      baud_(baud),
      verbose_(verbose) {
  if (IsGpsdName(device_name_)) {
    kind_ = SourceKind::kGpsd;
    std::string why;
    ParseGpsdName(device_name_, address_, why);  // checked beforehand
    watched_ = address_.device;
    snprintf(report_.path, sizeof report_.path, "%s", device_name_);
    return;
  }
  struct stat info;
  if (NameSerialDevice(device_name_, unit_, report_) &&
      stat(report_.path, &info) == 0) {
    if (S_ISREG(info.st_mode)) kind_ = SourceKind::kRecording;
    if (S_ISFIFO(info.st_mode)) kind_ = SourceKind::kPipe;
  }
}

FixStream::~FixStream() { Close(); }

void FixStream::Close() {
  CloseDevice(&device_);
  gpsd_ = ScopedFd();
  start_ = length_ = 0;
}

bool FixStream::Open() {
  Close();
  heard_ = false;
  report_ = SnapshotReport();
  if (kind_ == SourceKind::kGpsd) {
    snprintf(report_.path, sizeof report_.path, "%s", device_name_);
    return OpenGpsd(address_);
  }
  if (!NameSerialDevice(device_name_, unit_, report_)) return false;
  struct stat info;
  if (kind_ == SourceKind::kTty && stat(report_.path, &info) == 0 &&
      S_ISCHR(info.st_mode)) {
    // gpsd holds the ttys of the receivers it serves: their fixes are to be
    // had only through it. Its answer within the window may be the first.
    GpsdAddress local;
    snprintf(local.host, sizeof local.host, "%s", kGpsdDefaultHost);
    snprintf(local.port, sizeof local.port, "%s", kGpsdDefaultPort);
    snprintf(local.device, sizeof local.device, "%s", report_.path);
    NmeaBuffer buffer = {};
    SnapshotReport probe;
    uint32_t bytes = 0;
    if (ReadGpsdSnapshot(buffer, local, true, probe, bytes) ==
        GpsdAnswer::kServed) {
      if (probe.end == WindowEnd::kInterrupted) {
        report_.end = WindowEnd::kInterrupted;
        return false;
      }
      if (verbose_ && bytes > 0) PrintEscaped(buffer.text);
      has_first_ = probe.current_fix ||
                   ParseRmcPosition(buffer.text, first_.latitude,
                                    first_.longitude);
      if (probe.current_fix) {
        first_.latitude = probe.latitude;
        first_.longitude = probe.longitude;
      }
      // gpsd names the tty a link leads to.
      if (realpath(report_.path, listed_) == nullptr) {
        snprintf(listed_, sizeof listed_, "%s", report_.path);
      }
      watched_ = listed_;
      return OpenGpsd(local);
    }
  }
  report_.error = OpenDevice(report_.path, device_);
  if (report_.error < 0) {
    report_.end = WindowEnd::kOpenFailed;
    return false;
  }
  // As in the window: a speed the line cannot take leaves it as it was.
  device_.io_Baud = baud_;
  device_.io_Command = SDCMD_SETPARAMS;
  DoIO(device_);
  return true;
}

bool FixStream::OpenGpsd(const GpsdAddress& address) {
  gpsd_ = ConnectToGpsd(address, MonotonicMs() + kSnapshotWindowMs, report_);
  if (!gpsd_) return false;
  // Every device's reports, and the fix gpsd has now; the device is
  // picked from the reports, by the name gpsd gives it.
  const nlohmann::json watch = {{"enable", true}, {"json", true}};
  const std::string request = "?WATCH=" + watch.dump() + ";?POLL;";
  if (send(gpsd_.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    snprintf(report_.problem, sizeof report_.problem,
             "gpsd closed the connection");
    gpsd_ = ScopedFd();
    return false;
  }
  return true;
}

StreamEvent FixStream::Next(StreamFix& fix) {
  if (has_first_) {
    has_first_ = false;
    fix = first_;
    return StreamEvent::kFix;
  }
  while (true) {
    while (const void* end = memchr(text_ + start_, '\n', length_ - start_)) {
      const size_t line_end = static_cast<const char*>(end) - text_ + 1;
      const std::string_view line(text_ + start_, line_end - start_);
      start_ = line_end;
      if (TakeLine(line, fix)) return StreamEvent::kFix;
    }
    const StreamEvent more = ReadMore();
    if (more != StreamEvent::kFix) return more;
  }
}

// kFix when more text came.
StreamEvent FixStream::ReadMore() {
  if (BreakRequested()) return StreamEvent::kInterrupted;
  memmove(text_, text_ + start_, length_ - start_);
  length_ -= start_;
  start_ = 0;
  if (length_ == sizeof text_) {
    length_ = 0;  // a line longer than any sentence or report: noise
  }
  const size_t room = sizeof text_ - length_;
  if (gpsd_) {
    const ssize_t got = recv(gpsd_.get(), text_ + length_, room, MSG_DONTWAIT);
    if (got > 0) {
      length_ += static_cast<size_t>(got);
      return StreamEvent::kFix;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
      return StreamEvent::kNothing;
    }
    return StreamEvent::kLost;
  }
  device_.io_Command = SDCMD_QUERY;
  if (DoIO(device_) != 0) return StreamEvent::kLost;
  const uint32_t take = static_cast<uint32_t>(
      device_.io_Actual < room ? device_.io_Actual : room);
  if (take > 0) {
    device_.io_Length = take;
    device_.io_Data = text_ + length_;
    device_.io_Command = CMD_READ;
    if (DoIO(device_) != 0) return StreamEvent::kLost;
    length_ += device_.io_Actual;
    heard_ = true;
    // No more than the line carried since the last read, give or take.
    const int64_t now_us = MonotonicUs();
    const int64_t byte_us = ByteUs(baud_);
    trickling_ = kind_ == SourceKind::kTty && byte_us > 0 &&
                 take <= (now_us - last_read_us_) / byte_us + 2;
    last_read_us_ = now_us;
    return StreamEvent::kFix;
  }
  if (device_.io_Status & kSerialInputEnded) {
    return kind_ == SourceKind::kTty ? StreamEvent::kLost : StreamEvent::kEnded;
  }
  return StreamEvent::kNothing;
}

int64_t FixStream::QuietUntilMs() const {
  if (!trickling_ || gpsd_) return 0;
  // The line being read needs "*HH" CR LF, or what of it is missing.
  const std::string_view partial(text_ + start_, length_ - start_);
  const size_t star = partial.rfind('*');
  const int64_t missing =
      star == std::string_view::npos
          ? 5
          : std::max<int64_t>(1, 5 - static_cast<int64_t>(partial.size() - star));
  return (last_read_us_ + (missing - 1) * ByteUs(baud_)) / 1000;
}

bool FixStream::TakeLine(std::string_view line, StreamFix& fix) {
  if (verbose_) PrintEscaped(line);
  char time[sizeof last_time_];
  if (gpsd_) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    GpsdFix tpv;
    SnapshotReport poll;
    if (TakeTpv(line, watched_, tpv)) {
      fix.latitude = tpv.latitude;
      fix.longitude = tpv.longitude;
      snprintf(time, sizeof time, "%.3f", tpv.time_s);
    } else if (TakeCurrentFix(line, watched_, SystemClockS(), poll)) {
      fix.latitude = poll.latitude;
      fix.longitude = poll.longitude;
      time[0] = '\0';  // a report of the same time may follow it
    } else {
      return false;
    }
  } else {
    if (!ParseRmcPosition(line, fix.latitude, fix.longitude)) return false;
    const std::string_view field = RmcTime(line);
    snprintf(time, sizeof time, "%.*s", static_cast<int>(field.size()),
             field.data());
  }
  // A fix without a time cannot be told from the last: it is taken.
  if (time[0] != '\0' && strcmp(time, last_time_) == 0) return false;
  memcpy(last_time_, time, sizeof last_time_);
  return true;
}
