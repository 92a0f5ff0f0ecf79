#include "gps/serial_snapshot.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "gps/position.h"
#include "platform/serial_device.h"
#include "platform/wait.h"

bool PositionWatch::Complete(const char* text, size_t length) {
  // A sentence never spans a line end, so whole lines before the current
  // one need no second look.
  std::string_view rest(text + line_start_, length - line_start_);
  double latitude, longitude;
  if (ParseRmcPosition(rest, latitude, longitude)) return true;
  const size_t line_end = rest.find_last_of("\r\n");
  if (line_end != std::string_view::npos) line_start_ += line_end + 1;
  return false;
}

bool IsRecording(const char* device, int32_t unit) {
  char path[256];
  struct stat info;
  return device != nullptr && SerialDevicePath(device, unit, path, sizeof path) &&
         stat(path, &info) == 0 && (S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode));
}

size_t AppendText(char* text, size_t length, const char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != '\0') text[length++] = bytes[i];
  }
  text[length] = '\0';
  return length;
}

uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* device,
                            int32_t unit, uint32_t baud,
                            SnapshotReport& report) {
  report.end = WindowEnd::kOpenFailed;
  if (device == nullptr) device = "";
  if (!SerialDevicePath(device, unit, report.path, sizeof report.path)) {
    snprintf(report.path, sizeof report.path, "%s", device);
    report.error = ENAMETOOLONG;
    return 0;
  }
  IOExtSer request;
  report.error = OpenDevice(report.path, request);
  if (report.error != 0) return 0;
  DeviceScope open_device(request);
  const int64_t deadline = MonotonicMs() + kSnapshotWindowMs;

  // The outcome is not examined: a speed the line cannot take leaves it
  // as it was, and the text may still be readable.
  request.io_Baud = baud;
  request.io_Command = SDCMD_SETPARAMS;
  DoIO(request);

  size_t length = strnlen(buffer.text, kNmeaBufferSize - 1);
  buffer.text[length] = '\0';
  PositionWatch watch(length);
  uint32_t total = 0;
  char chunk[kNmeaBufferSize];
  while (true) {
    request.io_Actual = 0;
    request.io_Command = SDCMD_QUERY;
    if (DoIO(request) != 0) {
      report.end = WindowEnd::kReadFailed;
      report.error = EIO;
      break;
    }
    const size_t room = kNmeaBufferSize - 1 - length;
    const uint32_t take = static_cast<uint32_t>(
        request.io_Actual < room ? request.io_Actual : room);
    if (take > 0) {
      request.io_Length = take;
      request.io_Data = chunk;
      request.io_Command = CMD_READ;
      DoIO(request);
      length = AppendText(buffer.text, length, chunk, take);
      total += take;
    }
    if (watch.Complete(buffer.text, length)) {
      report.end = WindowEnd::kPosition;
      break;
    }
    if (length == kNmeaBufferSize - 1) {  // full: the rest stays unread
      report.end = WindowEnd::kFull;
      break;
    }
    if (request.io_Status & kSerialInputEnded) {
      report.end = WindowEnd::kInputEnded;
      break;
    }
    const WaitResult wait = WaitReadable(request.fd, RemainingMs(deadline));
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
