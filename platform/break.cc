#include "platform/break.h"

#include <csignal>
#include <cstdio>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_break = 0;
volatile sig_atomic_t g_termination = 0;
int g_pipe[2] = {-1, -1};

void OnInterrupt(int) {
  int saved = errno;
  g_break = 1;
  // The pipe is never drained, so one byte keeps it readable for every
  // later poll().
  if (g_pipe[1] >= 0) {
    char byte = 1;
    ssize_t ignored = write(g_pipe[1], &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

void OnTermination(int signal) {
  g_termination = signal;
  OnInterrupt(signal);
}

}  // namespace

void CatchTerminationSignals() {
  struct sigaction action = {};
  action.sa_handler = OnTermination;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  sigaction(SIGQUIT, &action, nullptr);
}

int TerminationSignal() { return g_termination; }

void EndByTerminationSignal(int signal) {
  ::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  _exit(128 + signal);  // the signal did not end the process
}

void InstallBreakHandler() {
  if (g_pipe[0] >= 0) return;
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_pipe[0] = g_pipe[1] = -1;
  }
  CatchSignalAsBreak(SIGINT);
}

void CatchSignalAsBreak(int signal) {
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking call is interrupted rather than resumed.
  action.sa_flags = 0;
  sigaction(signal, &action, nullptr);
}

bool BreakRequested() { return g_break != 0; }

int BreakFd() { return g_pipe[0]; }

void ReportBreak() {
  fflush(stdout);
  fputs("***Break\n", stderr);
  fflush(stderr);
}
