#include "maphost/desktop_open.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/test_support.h"

namespace {

class DesktopOpenTest : public testing::Test {
 protected:
  DesktopOpenTest() : path_(getenv("PATH")) {
    setenv("PATH", (bin_.path() + ":/usr/bin:/bin").c_str(), 1);
  }
  ~DesktopOpenTest() override { setenv("PATH", path_.c_str(), 1); }
  // `name` on PATH as a shell script of `body`.
  void Fake(const std::string& name, const std::string& body) const {
    WriteWholeFile(bin_.File(name), "#!/bin/sh\n" + body + "\n");
    chmod(bin_.File(name).c_str(), 0755);
  }
  // Whether the process `pid` has ended (gone, or a zombie of another).
  static bool Ended(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string skip, state;
    return !(stat >> skip >> skip >> state) || state == "Z";
  }
  std::string path_;
  TempDir bin_;
};

// What xdg-open's end says: its status, and the first 4 KiB of what it
// wrote on standard error (a write past them fails, and does not end it);
// not there, it is not started.
TEST_F(DesktopOpenTest, TellsHowXdgOpenEnded) {
  const std::string many(5000, 'a');
  const struct {
    const char* body;
    OpenOutcome::Kind kind;
    std::string why, output;
  } cases[] = {
      {"exit 0", OpenOutcome::kOpened, "", ""},
      {"kill -TERM $$", OpenOutcome::kFailed, "killed by signal 15", ""},
      {"printf %05000d 0 | tr 0 a >&2; exit 4", OpenOutcome::kFailed,
       "exit 4: " + many.substr(0, 200), many.substr(0, 4096)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    Fake("xdg-open", c.body);
    const OpenOutcome outcome = DesktopOpen("geo:1,2", MonotonicMs() + 5000);
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.why, c.why);
    EXPECT_EQ(outcome.error_output, c.output);
  }
  setenv("PATH", bin_.path().c_str(), 1);
  unlink(bin_.File("xdg-open").c_str());
  const OpenOutcome missing = DesktopOpen("geo:1,2", MonotonicMs() + 5000);
  EXPECT_EQ(missing.kind, OpenOutcome::kNotStarted);
  EXPECT_EQ(missing.why, "No such file or directory");
}

// A program started for the desktop begins in a process group of its own,
// with no signal ignored or blocked whatever the host does with them, and
// when it ends after its wait it is collected, not left a zombie.
TEST_F(DesktopOpenTest, StartsCleanAndCollectsWhatItLeavesRunning) {
  Fake("xdg-open", "echo $$ >" + bin_.File("pid") + "; exec sleep 30");
  ASSERT_EQ(DesktopOpen("geo:1,2", MonotonicMs() + 5000).kind, OpenOutcome::kHandedOver);
  std::string pid = ReadWholeFile(bin_.File("pid"));
  pid = pid.substr(0, pid.find('\n'));
  ASSERT_FALSE(Ended(pid));
  kill(std::stoi(pid), SIGKILL);
  for (int64_t end = MonotonicMs() + 5000; !std::ifstream("/proc/" + pid + "/stat").fail() &&
                                           MonotonicMs() < end;) {
    usleep(2000);
  }
  EXPECT_TRUE(std::ifstream("/proc/" + pid + "/stat").fail()) << "left a zombie";

  Fake("xdg-open", "grep -E '^Sig(Ign|Blk)' /proc/self/status >&2; "
                   "read -r _ _ _ _ group _ </proc/$$/stat; echo group $((group == $$)) >&2; exit 1");
  sigset_t blocked, before;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  const auto pipe_action = signal(SIGPIPE, SIG_IGN);
  const OpenOutcome shown = DesktopOpen("geo:1,2", MonotonicMs() + 5000);
  signal(SIGPIPE, pipe_action);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  // Signals 32 and 33 are the C library's own, which posix_spawn leaves
  // ignored; no program can use them.
  unsigned long long blocked_set = 0, ignored = 0;
  int group = 0;
  ASSERT_EQ(sscanf(shown.error_output.c_str(), "SigBlk: %llx SigIgn: %llx group %d",
                   &blocked_set, &ignored, &group), 3) << shown.error_output;
  EXPECT_EQ(blocked_set, 0u);
  EXPECT_EQ(ignored & ~0x180000000ull, 0u);
  EXPECT_EQ(group, 1);
}

// The desktop's handler is what xdg-mime names; an xdg-mime that has not
// answered by the deadline is killed with what it started.
TEST_F(DesktopOpenTest, AsksXdgMimeAndKillsOneThatHangsWithItsChildren) {
  const std::pair<std::string, bool> cases[] = {
      {"echo org.gnome.Maps.desktop", true},
      {"echo", false},
      {"echo marble.desktop; exit 1", false},
  };
  for (const auto& [body, has] : cases) {
    Fake("xdg-mime", "[ \"$*\" = 'query default x-scheme-handler/geo' ] || exit 9; " + body);
    EXPECT_EQ(DesktopHasHandler("x-scheme-handler/geo", MonotonicMs() + 5000), has) << body;
  }
  Fake("xdg-mime", "sleep 30 & echo $! >" + bin_.File("pid") + "; wait");
  const int64_t start = MonotonicMs();
  EXPECT_FALSE(DesktopHasHandler("x-scheme-handler/geo", start + 500));
  EXPECT_LT(MonotonicMs() - start, 3000);
  std::string pid = ReadWholeFile(bin_.File("pid"));
  pid = pid.substr(0, pid.find('\n'));
  for (int64_t end = MonotonicMs() + 5000; !Ended(pid) && MonotonicMs() < end;) usleep(2000);
  EXPECT_TRUE(Ended(pid)) << "xdg-mime's child " << pid << " still runs";
}

}  // namespace
