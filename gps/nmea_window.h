// The collection window: the buffer the receiver's text is gathered in,
// whatever its source (a tty, a recording, a FIFO, gpsd), how the window
// ended, and the report the caller explains it from.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr size_t kNmeaBufferSize = 10000;

// Zero-terminated text of at most kNmeaBufferSize - 1 characters.
struct NmeaBuffer {
  char text[kNmeaBufferSize];
};

// How long a snapshot waits, from the moment the device is opened, for a
// usable RMC sentence. Receivers send one burst a second.
inline constexpr int kSnapshotWindowMs = 2000;

// Why the collection window ended.
enum class WindowEnd {
  kPosition,     // a sentence the position parser accepts arrived
  kFull,         // kNmeaBufferSize - 1 characters arrived
  kInputEnded,   // end of file, hang-up, receiver unplugged
  kTimeout,      // kSnapshotWindowMs passed
  kInterrupted,  // Ctrl-C
  kOpenFailed,   // the device could not be opened (see `error`)
  kReadFailed,   // reading failed (see `error`, or `problem` for gpsd)
};

// How a window went, for the caller to explain. The first fields serve
// every source; the rest are gpsd's, as its text comes through the same
// window.
struct SnapshotReport {
  WindowEnd end = WindowEnd::kTimeout;
  int error = 0;        // negative errno of a failed open or read, 0 for none
  char path[256] = {};  // the file that was read, or tried

  // gpsd's.
  bool via_gpsd = false;  // the text came through gpsd, not the tty
  char problem[512] = {};  // what was wrong with gpsd's answer, if anything
  bool gpsd_greeted = false;  // gpsd's VERSION line came
  // Set when gpsd's current fix ended the window instead of a sentence:
  // the position is taken from here, not from the text.
  bool current_fix = false;
  double latitude = 0, longitude = 0;
  double fix_age_s = 0;        // how old the fix was when it arrived
  char fix_device[256] = {};   // the device gpsd named it by
};

// The text a collection window gathers, whatever its source: appends to
// the buffer (zero bytes left out, so that they cannot end the text early;
// nothing past its end) and tells when the text ends the window: it holds a
// position ParseRmcPosition accepts, or the buffer is full. Each line is
// looked at once it can be complete.
class WindowText {
 public:
  explicit WindowText(NmeaBuffer& buffer);
  size_t room() const { return kNmeaBufferSize - 1 - length_; }
  // Where the next bytes go: a reader may put up to room() bytes here and
  // then Append them from here, so that the text is copied only once.
  char* tail() { return buffer_.text + length_; }
  // Appends `first` and then `second`, as much as there is room for; true,
  // with `end` set, when the window ends.
  bool Append(std::string_view first, std::string_view second, WindowEnd& end);

 private:
  NmeaBuffer& buffer_;
  size_t length_;
  size_t line_start_;  // whole lines before it have had their look
};
