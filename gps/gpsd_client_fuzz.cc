// libFuzzer: whatever a peer on gpsd's port sends (the input, then
// silence or a hang-up, as its first byte says) ends the conversation
// without fault, within the window, with the text kept to the buffer; a
// current fix is taken only as a position of the device asked about. Each
// line is also judged as an answer to ?POLL on a clock set to the seeds'
// time, so that the fuzzer reaches the fixes that are taken.
#include <sys/socket.h>

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <algorithm>

#include "gps/gpsd_conversation.h"
#include "gps/gpsd_fix.h"
#include "platform/scoped_fd.h"
#include "platform/wait.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) abort();
  ScopedFd ours(ends[0]), gpsd(ends[1]);
  // Within the socket's buffer: the peer never waits for us.
  if (send(gpsd.get(), data + 1, size - 1, MSG_NOSIGNAL) !=
      static_cast<ssize_t>(size - 1)) {
    abort();
  }
  const bool silent_after = data[0] & 1;
  if (!silent_after) shutdown(gpsd.get(), SHUT_WR);
  constexpr int kWindowMs = 20;
  NmeaBuffer buffer;
  memset(buffer.text, 'x', sizeof buffer.text);
  buffer.text[0] = '\0';
  SnapshotReport report;
  uint32_t bytes = 0;
  const int64_t start = MonotonicMs();
  const GpsdAnswer answer =
      ConverseWithGpsd(ours.get(), buffer, (data[0] & 2) ? "/dev/ttyACM0" : "",
                       data[0] & 2, start + kWindowMs / 2, start + kWindowMs,
                       report, bytes);
  // The bound is generous: it tells a window that ends from one that runs
  // on while bytes keep coming, not how punctual it is.
  if (MonotonicMs() - start > kWindowMs + 1000) abort();
  // Zero bytes are counted as they arrive but left out of the text.
  if (memchr(buffer.text, '\0', sizeof buffer.text) == nullptr ||
      strlen(buffer.text) > bytes) {
    abort();
  }
  if (answer == GpsdAnswer::kNoGpsd) abort();
  const char* const device = (data[0] & 2) ? "/dev/ttyACM0" : "";
  const auto fix_is_sound = [device](const SnapshotReport& fix) {
    return !fix.current_fix ||
           (std::fabs(fix.latitude) <= 90 && std::fabs(fix.longitude) <= 180 &&
            fix.fix_age_s >= 0 && fix.fix_age_s <= kCurrentFixMaxAgeS &&
            fix.fix_device[0] != '\0' &&
            (device[0] == '\0' || strcmp(fix.fix_device, device) == 0));
  };
  if (!fix_is_sound(report) ||
      (report.current_fix && report.end != WindowEnd::kPosition)) {
    abort();
  }
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (size_t from = 0; from < text.size();) {
    const size_t end = std::min(text.find('\n', from), text.size());
    SnapshotReport judged;
    // 2026-12-06T12:00:00Z
    TakeCurrentFix(text.substr(from, end - from), device, 1796558400.0, judged);
    if (!fix_is_sound(judged)) abort();
    from = end + 1;
  }
  return 0;
}
