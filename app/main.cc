// navbeacon: centres the map application on the GPS receiver's position.
//
// Start-up makes sure of what the entry relies on before it runs: a stack
// of kStackBytes and the USB stack library.

#include <pthread.h>
#include <sys/resource.h>

#include <cstdio>
#include <span>

#include "app/entry.h"
#include "app/exit_status.h"
#include "platform/break.h"
#include "platform/usb_stack.h"

namespace {

constexpr size_t kStackBytes = 2000000;

struct EntryCall {
  std::span<const char* const> words;
  int status = kExitFatal;
};

int RunEntry(std::span<const char* const> words) {
  LinuxRunServices services;
  return EntryMain(words, services);
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
// kExitFatal, silently, when no such thread can be had.
int RunEntryOnLargeStack(std::span<const char* const> words) {
  EntryCall call{words};
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return kExitFatal;
  pthread_t thread;
  bool started = pthread_attr_setstacksize(&attributes, kStackBytes) == 0 &&
                 pthread_create(&thread, &attributes, EntryThread, &call) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) return kExitFatal;
  pthread_join(thread, nullptr);
  return call.status;
}

}  // namespace

int main(int argc, char** argv) {
  InstallBreakHandler();
  std::span<const char* const> words(argv + 1, argc > 0 ? argc - 1 : 0);
  const bool large_stack = StackIsLargeEnough();
  if (!OpenUsbStack()) {
    // The requester's words. Its formatter reads "%.10lu" as at most ten
    // digits, not as printf's at least ten.
    fprintf(stderr, "startup message: Need version %lu of %.32s\n", 0UL,
            kUsbStackLibrary);
    return kExitFatal;
  }
  const int status =
      large_stack ? RunEntry(words) : RunEntryOnLargeStack(words);
  CloseUsbStack();
  return status;
}
