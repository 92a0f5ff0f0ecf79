// navbeacon: centres the map application on the GPS receiver's position.
//
// Start-up makes sure of what the entry relies on before it runs: the
// standard descriptors, a stack of kStackBytes and the USB stack library.
// The end is the one place where an interrupt is reported and where lost
// standard output is noticed.

#include <pthread.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <span>

#include "app/entry.h"
#include "app/exit_status.h"
#include "platform/break.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/usb_stack.h"

namespace {

constexpr size_t kStackBytes = 2000000;

// Kept in the binary, where `strings` and version scanners find it.
[[gnu::used]] const char* const kEmbeddedVersion = kVersionString;

struct EntryCall {
  std::span<const char* const> words;
  ExitStatus status = ExitStatus::kStartupFailed;
};

// The last guard: an exception that escapes the run (a fault, or memory
// running out) is reported, and the run ends with the status of input it
// could not use instead of an abort.
ExitStatus RunEntry(std::span<const char* const> words) {
  try {
    LinuxRunServices services;
    return EntryMain(words, services);
  } catch (const std::exception& error) {
    Warnf("stopped by an unexpected failure (%s); please report it with "
          "the command line that caused it\n",
          error.what());
  }
  return ExitStatus::kDamagedData;
}

void* EntryThread(void* opaque) {
  auto* call = static_cast<EntryCall*>(opaque);
  call->status = RunEntry(call->words);
  return nullptr;
}

bool StackIsLargeEnough() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_STACK, &limit) != 0) return false;
  return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kStackBytes;
}

// Runs the entry on a thread of its own with a stack of kStackBytes;
// false when no such thread can be had.
bool RunEntryOnLargeStack(std::span<const char* const> words,
                          ExitStatus& status) {
  EntryCall call{words};
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_t thread;
  bool started = pthread_attr_setstacksize(&attributes, kStackBytes) == 0 &&
                 pthread_create(&thread, &attributes, EntryThread, &call) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) return false;
  pthread_join(thread, nullptr);
  status = call.status;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  EnsureStandardDescriptors();
  InstallBreakHandler();
  CatchTerminationSignals();
  // A reader that goes away (`navbeacon ... VERBOSE | head -1`) must not
  // cost the goto, which is the command's job: the lost output shows in
  // the exit status instead.
  signal(SIGPIPE, SIG_IGN);
  std::span<const char* const> words(argv + 1, argc > 0 ? argc - 1 : 0);
  const bool large_stack = StackIsLargeEnough();
  std::string usb_why;
  if (OpenUsbStack(usb_why) < 0) {
    fprintf(stderr, "startup message: Need version %lu of %.32s\n", 0UL,
            kUsbStackLibrary);
    Warnf("cannot load %s: %s\n", kUsbStackLibrary, usb_why.c_str());
    return static_cast<int>(ExitStatus::kStartupFailed);
  }
  ExitStatus status = ExitStatus::kStartupFailed;
  if (large_stack) {
    status = RunEntry(words);
  } else if (!RunEntryOnLargeStack(words, status)) {
    CloseUsbStack();
    return static_cast<int>(ExitStatus::kStartupFailed);  // silently
  }
  CloseUsbStack();
  if (const int signal = TerminationSignal(); signal != 0) {
    fflush(stdout);
    EndByTerminationSignal(signal);
  }
  if (status == ExitStatus::kInterrupted) {
    ReportBreak();
  } else if (const int error = FlushStandardOutput(); error < 0) {
    Warnf("standard output could not be written: %s\n", FailureText(error));
    if (status == ExitStatus::kSuccess) status = ExitStatus::kOutputFailed;
  }
  return static_cast<int>(status);
}
