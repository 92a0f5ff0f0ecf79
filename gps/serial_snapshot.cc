#include "gps/serial_snapshot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/serial_device.h"
#include "platform/wait.h"

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
  report.error = OpenDevice(report.path, request);
  if (report.error < 0) return 0;
  const OpenSerialDevice open_device(&request);
  const int64_t deadline = MonotonicMs() + kSnapshotWindowMs;

  // The outcome is not examined: a speed the line cannot take leaves it
  // as it was, and the text may still be readable.
  request.io_Baud = baud;
  request.io_Command = SDCMD_SETPARAMS;
  DoIO(request);

  WindowText text(buffer);
  uint32_t total = 0;
  while (true) {
    request.io_Actual = 0;
    request.io_Command = SDCMD_QUERY;
    if (DoIO(request) != 0) {
      report.end = WindowEnd::kReadFailed;
      report.error = -EIO;
      break;
    }
    const bool ended = request.io_Status & kSerialInputEnded;
    const uint32_t take = static_cast<uint32_t>(
        request.io_Actual < text.room() ? request.io_Actual : text.room());
    if (take > 0) {
      // Straight into the window, after what it holds; Append then takes
      // the zero bytes out in place.
      request.io_Length = take;
      request.io_Data = text.tail();
      request.io_Command = CMD_READ;
      if (DoIO(request) != 0) {
        report.end = WindowEnd::kReadFailed;
        report.error = -EIO;
        break;
      }
      total += request.io_Actual;
      const std::string_view read(static_cast<const char*>(request.io_Data),
                                  request.io_Actual);
      if (text.Append(read, {}, report.end)) break;
    }
    if (ended) {
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
    const int wait = WaitReadable(request.fd, left);
    if (wait == kWaitBreak) {
      report.end = WindowEnd::kInterrupted;
      break;
    }
    if (wait == kWaitTimedOut) {
      report.end = WindowEnd::kTimeout;
      break;
    }
  }
  return total;
}
