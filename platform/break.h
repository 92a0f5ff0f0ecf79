// Ctrl-C, which ends every wait of the program.
//
// The signal handler only records the break. Code that prints sees it
// through BreakRequested(); code that waits puts BreakFd() into its poll()
// set (see platform/wait.h), so that every wait ends as soon as the user
// presses Ctrl-C.
#pragma once

// Installs the SIGINT handler. Safe to call more than once.
void InstallBreakHandler();

// Lets `signal` (e.g. SIGTERM, for a server) count as a break too.
void CatchSignalAsBreak(int signal);

// Lets SIGTERM, SIGHUP and SIGQUIT end every wait as Ctrl-C does, so that
// the run unwinds and puts the tty back; the program then ends by the
// signal with EndByTerminationSignal.
void CatchTerminationSignals();

// The terminating signal that arrived, or 0.
int TerminationSignal();

// Ends the process by `signal` with its default action, so that the parent
// sees death by that signal (as `timeout` and shells expect).
[[noreturn]] void EndByTerminationSignal(int signal);

// True once Ctrl-C has been pressed.
bool BreakRequested();

// A descriptor that becomes readable, and stays readable, once Ctrl-C has
// been pressed; -1 before InstallBreakHandler().
int BreakFd();

// Flushes standard output and writes "***Break" to standard error, the
// words scripts look for when a command was interrupted.
void ReportBreak();
