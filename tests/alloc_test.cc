// The run allocates nothing on the heap: its buffer and position live on
// its stack. This binary counts every malloc while the run works.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "app/position_run.h"
#include "platform/scoped_fd.h"
#include "tests/test_support.h"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* old, size_t size);
static std::atomic<bool> g_counting{false};
static std::atomic<long> g_allocations{0};

extern "C" void* malloc(size_t size) {
  g_allocations += g_counting;
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  g_allocations += g_counting;
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* old, size_t size) {
  g_allocations += g_counting;
  return __libc_realloc(old, size);
}

namespace {

// The run over a recording (no USB search), its output to /dev/null with
// stdout's buffer allocated beforehand.
long CountRunAllocations(const CommandArgs& args) {
  LinuxRunServices services;
  fflush(stdout);
  const int saved = dup(1);
  dup2(ScopedFd(open("/dev/null", O_WRONLY | O_CLOEXEC)).get(), 1);
  printf("warm up\n");
  g_allocations = 0;
  g_counting = true;
  RunPositionUpdate(args, services);
  g_counting = false;
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  return g_allocations;
}

TEST(RunAllocations, NoneForTheRunItself) {
  RuntimeDir dir;
  const std::string log = dir.File("log");
  WriteWholeFile(log, kMunichRmc);
  // No map application: snapshot, parse, print, port lookup.
  const CommandArgs args{log.c_str(), "0", "9600", nullptr, true, true};
  EXPECT_EQ(CountRunAllocations(args), 0);
  // With the map application, the one allocation is the host's result
  // string, which the message system makes for its receiver.
  auto host = StartMapHost(dir.path());
  EXPECT_EQ(CountRunAllocations(args), 1);
  EXPECT_TRUE(host->WaitForOutput("goto 48.1173 11.516667 12"));
}

}  // namespace
