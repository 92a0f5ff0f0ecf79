#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/break.h"

void Printf(const char* format, ...) {
  if (BreakRequested()) {
    ReportBreak();
    exit(kExitBreak);
  }
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
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
