#include "platform/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/break.h"
#include "platform/errors.h"

namespace {
// Whose explanations these are: the host and the command may share a
// terminal.
const char* warn_prefix = "navbeacon: ";
// The negative errno of the first write to standard output that failed
// (stdio keeps only that one failed, not why), 0 while none has. Written
// from --follow's goto thread too.
std::atomic<int> stdout_failure = 0;

void NoteStandardOutput(bool failed) {
  if (!failed) return;
  int none = 0;
  stdout_failure.compare_exchange_strong(none, NegativeErrno());
}
}  // namespace

void SetWarnPrefix(const char* prefix) { warn_prefix = prefix; }

bool Print(const char* format, ...) {
  if (BreakRequested()) return false;
  va_list args;
  va_start(args, format);
  NoteStandardOutput(vprintf(format, args) < 0);
  va_end(args);
  return true;
}

namespace {

// Writes text that came from outside, each byte that could drive a
// terminal as \xNN: everything but printable ASCII, and CR, LF and TAB
// too unless `lines` lets them through. In chunks, so that a line goes out
// in one write even to unbuffered standard error.
void WriteEscaped(FILE* stream, std::string_view prefix, std::string_view text,
                  bool lines, std::string_view suffix) {
  char out[1024];
  size_t used = 0;
  auto write_out = [&] {
    const bool short_write = fwrite(out, 1, used, stream) < used;
    if (stream == stdout) NoteStandardOutput(short_write);
  };
  auto put = [&](std::string_view piece) {
    if (piece.empty()) return;
    if (used > 0 && used + piece.size() > sizeof out) {
      write_out();
      used = 0;
    }
    memcpy(out + used, piece.data(), piece.size());
    used += piece.size();
  };
  put(prefix);
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte >= 0x20 && byte < 0x7f) ||
        (lines && (c == '\r' || c == '\n' || c == '\t'))) {
      put(std::string_view(&c, 1));
    } else {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      put(std::string_view(escaped, 4));
    }
  }
  put(suffix);
  write_out();
}

}  // namespace

bool PrintEscaped(std::string_view text, bool keep_line_breaks) {
  if (BreakRequested()) return false;
  WriteEscaped(stdout, {}, text, keep_line_breaks, {});
  return true;
}

void Warnf(const char* format, ...) {
  // Standard output first, so that the two streams read in order on one
  // terminal.
  NoteStandardOutput(fflush(stdout) != 0);
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  char small[1024];
  const int length = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  std::string_view text(small, length > 0 ? std::min<size_t>(length, sizeof small - 1) : 0);
  std::string large;  // only for long texts from outside
  if (length >= static_cast<int>(sizeof small)) {
    large.resize(length);
    vsnprintf(large.data(), large.size() + 1, format, again);
    text = large;
  }
  va_end(again);
  // The explanation's own line end is the only one let through: a text
  // from outside cannot start lines of its own or drive the terminal.
  const bool line_end = !text.empty() && text.back() == '\n';
  if (line_end) text.remove_suffix(1);
  WriteEscaped(stderr, warn_prefix, text, false, line_end ? "\n" : "");
}

void EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number: this one.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) close(opened);
  }
}

int FlushStandardOutput() {
  NoteStandardOutput(fflush(stdout) != 0);
  if (!ferror(stdout)) return 0;
  const int failure = stdout_failure;
  return failure < 0 ? failure : -EIO;
}
