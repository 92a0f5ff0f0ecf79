// The program's messages. They go to standard output through stdio (line
// buffered on a terminal, flushed at exit); explanations go to standard
// error.
#pragma once

#include <string_view>

// printf to standard output, unless a break is pending: then nothing is
// printed and the result is false, for the caller to end the run.
bool Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints text that came from outside (a receiver) to standard output with
// every byte other than printable ASCII, CR, LF and TAB written as \xNN,
// so that noise or escape sequences cannot reach the terminal. False, with
// nothing printed, when a break is pending. Without `keep_line_breaks` CR,
// LF and TAB are escaped too, for text that must stay on its one line of a
// log, where a line break could forge the lines after it.
bool PrintEscaped(std::string_view text, bool keep_line_breaks = true);

// printf to standard error, prefixed with "navbeacon: ". For diagnostics
// that add to a message of standard output (which device, which reason).
// What it formats may come from outside (gpsd's words, the map
// application's error text, a process name), so all of it is escaped as
// PrintEscaped escapes, line ends included, but for its final newline.
void Warnf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Another program of the project puts its own name before its lines
// ("navbeacon-maphost: "); `prefix` must outlive every Warnf.
void SetWarnPrefix(const char* prefix);

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null when they were
// closed), so that no file the program opens takes their place.
void EnsureStandardDescriptors();

// Flushes standard output: 0, or a negative errno when anything written to
// it was lost (the errno of the first write that failed, however long ago).
int FlushStandardOutput();
