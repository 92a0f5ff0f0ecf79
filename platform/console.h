// The program's messages. They go to standard output through stdio (line
// buffered on a terminal, flushed at exit), and a pending break ends the
// program at the moment output is written, as the shell's commands do.
#pragma once

// printf to standard output; with a break pending, reports it and exits
// with kExitBreak instead. Callers hold nothing that outlives the process
// at the points where they print.
void Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf to standard error, prefixed with "navbeacon: ". For diagnostics
// that add to a message of standard output (which device, which reason).
void Warnf(const char* format, ...) __attribute__((format(printf, 1, 2)));
