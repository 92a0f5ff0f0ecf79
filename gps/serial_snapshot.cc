#include "gps/serial_snapshot.h"

#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/serial_device.h"

namespace {

int64_t NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Follows the text line by line as it grows and tells when a complete
// line starting with "$GPRMC" has arrived, through its line end: CR LF, or
// a lone LF or CR.
class RmcLineWatch {
 public:
  explicit RmcLineWatch(size_t start) : line_start_(start), scanned_(start) {}

  bool Complete(const char* text, size_t length) {
    for (; scanned_ < length; ++scanned_) {
      const char c = text[scanned_];
      if (c == '\r') {
        if (scanned_ + 1 == length) return false;  // an LF may follow
        if (text[scanned_ + 1] == '\n') continue;  // the LF ends the line
      } else if (c != '\n') {
        continue;
      }
      std::string_view line(text + line_start_, scanned_ - line_start_);
      if (line.starts_with("$GPRMC")) return true;
      line_start_ = scanned_ + 1;
    }
    return false;
  }

 private:
  size_t line_start_;
  size_t scanned_;
};

// Appends `count` bytes to the text, leaving out zero bytes so that they
// cannot end the text early. Returns the new length.
size_t AppendText(char* text, size_t length, const char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != '\0') text[length++] = bytes[i];
  }
  text[length] = '\0';
  return length;
}

}  // namespace

uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* device,
                            int32_t unit, uint32_t baud,
                            SnapshotFailure& failure) {
  IOExtSer request;
  failure.open_error =
      OpenDevice(device, unit, request, failure.path, sizeof failure.path);
  if (failure.open_error != 0) return 0;
  DeviceScope open_device(request);
  const int64_t deadline = NowMs() + kSnapshotWindowMs;

  // The outcome is not examined: a speed the line cannot take leaves it
  // as it was, and the text may still be readable.
  request.io_Baud = baud;
  request.io_Command = SDCMD_SETPARAMS;
  DoIO(request);

  size_t length = strnlen(buffer.text, kNmeaBufferSize - 1);
  buffer.text[length] = '\0';
  RmcLineWatch watch(length);
  uint32_t total = 0;
  char chunk[kNmeaBufferSize];
  while (true) {
    request.io_Actual = 0;
    request.io_Command = SDCMD_QUERY;
    if (DoIO(request) != 0) break;
    const size_t room = kNmeaBufferSize - 1 - length;
    const uint32_t take =
        static_cast<uint32_t>(request.io_Actual < room ? request.io_Actual
                                                       : room);
    if (take > 0) {
      request.io_Length = take;
      request.io_Data = chunk;
      request.io_Command = CMD_READ;
      if (DoIO(request) != 0) break;
      length = AppendText(buffer.text, length, chunk, take);
      total += take;
    }
    if (watch.Complete(buffer.text, length)) break;
    if (length == kNmeaBufferSize - 1) break;  // full: the rest stays unread
    if (request.io_Status & kSerialInputEnded) break;
    const int64_t left = deadline - NowMs();
    if (left <= 0) break;
    if (WaitDeviceInput(request, static_cast<int>(left)) != WaitResult::kInput) {
      break;
    }
  }
  return total;
}
