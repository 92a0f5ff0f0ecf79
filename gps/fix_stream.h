// The receiver's fixes one after another, for following it: the source
// stays open, and each new fix is handed out as it comes. A tty, a pipe
// or a recording is read for RMC sentences; gpsd for its TPV reports.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "gps/gpsd_client.h"
#include "gps/serial_snapshot.h"
#include "platform/scoped_fd.h"
#include "platform/serial_device.h"

enum class SourceKind {
  kTty,        // a receiver's tty (through gpsd when gpsd holds it)
  kPipe,       // a FIFO or a pipe: read as it comes
  kRecording,  // a regular file: each fix in turn, at the caller's pace
  kGpsd,       // DEVICE names gpsd
};

struct StreamFix {
  double latitude = 0, longitude = 0;
};

enum class StreamEvent {
  kFix,          // `fix` holds a new one
  kNothing,      // nothing more for now: wait for fd() to be readable
  kEnded,        // a recording or a pipe has ended
  kLost,         // the receiver went away (unplugged, hung up) or gpsd did
  kInterrupted,  // Ctrl-C
};

// A new fix is an RMC sentence that ParseRmcPosition accepts with a time
// other than the last one's, or a TPV of mode 2 or 3 with a new time.
class FixStream {
 public:
  // `verbose`: the text is printed, escaped, as it is taken.
  FixStream(const char* device, int32_t unit, uint32_t baud, bool verbose);
  ~FixStream();
  FixStream(const FixStream&) = delete;
  FixStream& operator=(const FixStream&) = delete;

  SourceKind kind() const { return kind_; }
  // The file read, or the gpsd:// name.
  const char* name() const { return report_.path; }
  // Whether a tty's text comes through gpsd.
  bool via_gpsd() const { return gpsd_ && kind_ == SourceKind::kTty; }

  // Opens the source (again); false, with report() saying why, when it
  // cannot be had now. A tty that a gpsd on this machine lists is read
  // through gpsd; gpsd's current fix, when fresh, is the first fix.
  bool Open();
  void Close();
  bool is_open() const { return fd() >= 0; }
  int fd() const { return gpsd_ ? gpsd_.get() : device_.fd; }
  const SnapshotReport& report() const { return report_; }
  // Whether any text came since the source was opened.
  bool heard() const { return heard_; }

  // The next fix in what has arrived.
  StreamEvent Next(StreamFix& fix);

  // Until when (MonotonicMs) there is no need to wait on fd(): a tty that
  // hands its text over a byte at a time, as fast as BAUDRATE carries it,
  // cannot complete the line being read before then (a sentence ends in
  // "*HH" CR LF), so the bytes are taken a few at once. 0 for text that
  // comes in packets, and for every other source.
  int64_t QuietUntilMs() const;

 private:
  bool OpenGpsd(const GpsdAddress& address);
  // Takes one complete line; true when it is a new fix.
  bool TakeLine(std::string_view line, StreamFix& fix);
  StreamEvent ReadMore();

  SourceKind kind_ = SourceKind::kTty;
  const char* device_name_;
  int32_t unit_;
  uint32_t baud_;
  bool verbose_;
  GpsdAddress address_;  // for kGpsd
  const char* watched_ = "";  // the device whose TPVs count, "" for any
  char listed_[PATH_MAX] = {};  // a tty as gpsd lists it
  SnapshotReport report_;
  IOExtSer device_;
  ScopedFd gpsd_;
  bool has_first_ = false;  // a fix taken while opening, not yet handed out
  StreamFix first_;
  char last_time_[32] = {};  // the last fix's time, to tell a new one
  int64_t last_read_us_ = 0;  // when the tty's text was last read
  bool trickling_ = false;    // it came no faster than the line carries it
  bool heard_ = false;
  // Text read and not yet taken: text_[start_, length_).
  char text_[kMaxGpsdLine + 1];
  size_t start_ = 0, length_ = 0;
};
