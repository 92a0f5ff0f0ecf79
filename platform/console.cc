#include "platform/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "platform/break.h"

bool Print(const char* format, ...) {
  if (BreakRequested()) return false;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  return true;
}

bool PrintEscaped(std::string_view text, bool keep_line_breaks) {
  if (BreakRequested()) return false;
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte >= 0x20 && byte < 0x7f) ||
        (keep_line_breaks && (c == '\r' || c == '\n' || c == '\t'))) {
      putchar(byte);
    } else {
      printf("\\x%02X", byte);
    }
  }
  return true;
}

void Warnf(const char* format, ...) {
  // Standard output first, so that the two streams read in order on one
  // terminal.
  fflush(stdout);
  fputs("navbeacon: ", stderr);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

void EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number: this one.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) close(opened);
  }
}

bool FlushStandardOutput() {
  if (fflush(stdout) != 0) return false;
  if (ferror(stdout)) {
    errno = EIO;
    return false;
  }
  return true;
}
