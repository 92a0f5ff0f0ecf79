// The receiver's text, read from its serial device.
#pragma once

#include <cstddef>
#include <cstdint>
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
  kReadFailed,   // reading failed (see `error`)
};

// How a snapshot went, for the caller to explain.
struct SnapshotReport {
  WindowEnd end = WindowEnd::kTimeout;
  int error = 0;        // negative errno of a failed open or read
  char path[256] = {};  // the file that was read, or tried
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

// Sets report.path to the file DEVICE and UNIT name (see
// SerialDevicePath); false, with the report saying why, when it does not fit.
bool NameSerialDevice(const char* device, int32_t unit, SnapshotReport& report);

// Opens the device at report.path, sets the line raw at the speed, and
// appends to `buffer` the text the receiver sends until the text holds a
// position ParseRmcPosition accepts, the buffer is full, the input ends,
// Ctrl-C is pressed or kSnapshotWindowMs have passed. Zero bytes are
// dropped. A tty's settings are put back afterwards. Returns the number of
// bytes read, 0 on any failure.
uint32_t ReadSerialDevice(NmeaBuffer& buffer, uint32_t baud,
                          SnapshotReport& report);

// NameSerialDevice, then ReadSerialDevice.
uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* device,
                            int32_t unit, uint32_t baud,
                            SnapshotReport& report);

// The text a collection window gathers, whatever its source: appends to
// the buffer (zero bytes left out, so that they cannot end the text early;
// nothing past its end) and tells when the text ends the window: it holds a
// position ParseRmcPosition accepts, or the buffer is full. Each line is
// looked at once it can be complete.
class WindowText {
 public:
  explicit WindowText(NmeaBuffer& buffer);
  size_t room() const { return kNmeaBufferSize - 1 - length_; }
  // Appends `first` and then `second`, as much as there is room for; true,
  // with `end` set, when the window ends.
  bool Append(std::string_view first, std::string_view second, WindowEnd& end);

 private:
  NmeaBuffer& buffer_;
  size_t length_;
  size_t line_start_;  // whole lines before it have had their look
};
