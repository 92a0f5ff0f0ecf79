// Ctrl-C, which the shell calls a break.
//
// The signal handler only records the break. Code that prints sees it
// through BreakRequested(); code that waits puts BreakFd() into its poll()
// set, so that every wait ends as soon as the user presses Ctrl-C.
#pragma once

// The return code of a program ended by a break (and of a failed start-up).
inline constexpr int kExitBreak = 20;

// Installs the SIGINT handler. Safe to call more than once.
void InstallBreakHandler();

// Lets `signal` (e.g. SIGTERM, for a server) count as a break too.
void CatchSignalAsBreak(int signal);

// True once Ctrl-C has been pressed.
bool BreakRequested();

// A descriptor that becomes readable, and stays readable, once Ctrl-C has
// been pressed; -1 before InstallBreakHandler().
int BreakFd();

// Flushes standard output and writes "***Break" to standard error, as the
// shell does for a command that a break ended.
void ReportBreak();
