#include "gps/serial_snapshot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "gps/position.h"
#include "platform/serial_device.h"
#include "platform/wait.h"

WindowText::WindowText(NmeaBuffer& buffer)
    : buffer_(buffer), length_(strnlen(buffer.text, kNmeaBufferSize - 1)),
      line_start_(length_) {
  buffer_.text[length_] = '\0';
}

bool WindowText::Append(std::string_view first, std::string_view second,
                        WindowEnd& end) {
  for (std::string_view bytes : {first, second}) {
    for (size_t i = 0; i < bytes.size() && room() > 0; ++i) {
      if (bytes[i] != '\0') buffer_.text[length_++] = bytes[i];
    }
  }
  buffer_.text[length_] = '\0';
  // A sentence never spans a line end, so whole lines before the current
  // one need no second look.
  std::string_view rest(buffer_.text + line_start_, length_ - line_start_);
  double latitude, longitude;
  if (ParseRmcPosition(rest, latitude, longitude)) {
    end = WindowEnd::kPosition;
    return true;
  }
  const size_t line_end = rest.find_last_of("\r\n");
  if (line_end != std::string_view::npos) line_start_ += line_end + 1;
  if (room() > 0) return false;
  end = WindowEnd::kFull;  // the rest stays unread
  return true;
}

bool NameSerialDevice(const char* device, int32_t unit, SnapshotReport& report) {
  if (device == nullptr) device = "";
  if (SerialDevicePath(device, unit, report.path, sizeof report.path)) return true;
  snprintf(report.path, sizeof report.path, "%s", device);
  report.end = WindowEnd::kOpenFailed;
  report.error = -ENAMETOOLONG;
  return false;
}

uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* device,
                            int32_t unit, uint32_t baud,
                            SnapshotReport& report) {
  return NameSerialDevice(device, unit, report)
             ? ReadSerialDevice(buffer, baud, report)
             : 0;
}

uint32_t ReadSerialDevice(NmeaBuffer& buffer, uint32_t baud,
                          SnapshotReport& report) {
  report.end = WindowEnd::kOpenFailed;
  IOExtSer request;
  report.error = -OpenDevice(report.path, request);
  if (report.error != 0) return 0;
  DeviceScope open_device(request);
  const int64_t deadline = MonotonicMs() + kSnapshotWindowMs;

  // The outcome is not examined: a speed the line cannot take leaves it
  // as it was, and the text may still be readable.
  request.io_Baud = baud;
  request.io_Command = SDCMD_SETPARAMS;
  DoIO(request);

  WindowText text(buffer);
  uint32_t total = 0;
  char chunk[kNmeaBufferSize];
  while (true) {
    request.io_Actual = 0;
    request.io_Command = SDCMD_QUERY;
    if (DoIO(request) != 0) {
      report.end = WindowEnd::kReadFailed;
      report.error = -EIO;
      break;
    }
    const uint32_t take = static_cast<uint32_t>(
        request.io_Actual < text.room() ? request.io_Actual : text.room());
    request.io_Length = take;
    request.io_Data = chunk;
    request.io_Command = CMD_READ;
    if (take > 0) DoIO(request);
    total += take;
    if (text.Append(std::string_view(chunk, take), {}, report.end)) break;
    if (request.io_Status & kSerialInputEnded) {
      report.end = WindowEnd::kInputEnded;
      break;
    }
    // A source that is always readable (/dev/zero, a flood of zero bytes)
    // never lets the wait time out: the deadline is checked on its own.
    const int left = RemainingMs(deadline);
    if (left == 0) {
      report.end = WindowEnd::kTimeout;
      break;
    }
    const WaitResult wait = WaitReadable(request.fd, left);
    if (wait == WaitResult::kBreak) {
      report.end = WindowEnd::kInterrupted;
      break;
    }
    if (wait == WaitResult::kTimeout) {
      report.end = WindowEnd::kTimeout;
      break;
    }
  }
  return total;
}
