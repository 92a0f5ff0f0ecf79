#include "maphost/desktop_open.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>

#include "maphost/geo_bridge.h"
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

// What xdg-open's end says: its status, and the last 4 KiB of what it
// wrote on standard error, where every write succeeds; not there, it is
// not started.
TEST_F(DesktopOpenTest, TellsHowXdgOpenEnded) {
  std::string many;
  for (int line = 0; line < 12500; ++line) many += "warning\n";
  many += "survived\n";
  const struct {
    const char* body;
    OpenOutcome::Kind kind;
    std::string why, output;
  } cases[] = {
      {"exit 0", OpenOutcome::kOpened, "", ""},
      {"kill -TERM $$", OpenOutcome::kFailed, "killed by signal 15", ""},
      {"yes warning | head -c 100000 >&2 && echo survived >&2; exit 4", OpenOutcome::kFailed,
       "exit 4: survived", many.substr(many.size() - 4096)},
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
// when it ends after its wait it is collected, not left a zombie. What it
// writes on standard error after the wait is taken, more than a pipe holds.
TEST_F(DesktopOpenTest, StartsCleanAndCollectsWhatItLeavesRunning) {
  // It writes once its wait is over: 1.2 s is the pace under test.
  Fake("xdg-open", "echo $$ >" + bin_.File("pid") + "; sleep 1.2; yes | head -c 200000 >&2 "
                   "&& echo wrote >" + bin_.File("wrote") + "; exec sleep 30");
  ASSERT_EQ(DesktopOpen("geo:1,2", MonotonicMs() + 5000).kind, OpenOutcome::kHandedOver);
  Eventually([&] { return !ReadWholeFile(bin_.File("wrote")).empty(); });
  EXPECT_EQ(ReadWholeFile(bin_.File("wrote")), "wrote\n");
  std::string pid = ReadWholeFile(bin_.File("pid"));
  pid = pid.substr(0, pid.find('\n'));
  ASSERT_FALSE(Ended(pid));
  kill(std::stoi(pid), SIGKILL);
  EXPECT_TRUE(Eventually([&] { return std::ifstream("/proc/" + pid + "/stat").fail(); }))
      << "left a zombie";

  // Read by perl, which starts with the mask it was given, where a shell
  // clears it.
  WriteWholeFile(bin_.File("xdg-open"),
                 "#!/usr/bin/perl\nopen(my $s, '<', '/proc/self/status');\n"
                 "print STDERR grep(/^Sig(Blk|Ign)/, <$s>), 'group ', getpgrp() == $$ ? 1 : 0;\n"
                 "exit 1;\n");
  sigset_t blocked, before;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  const auto pipe_action = signal(SIGPIPE, SIG_IGN);
  const OpenOutcome shown = DesktopOpen("geo:1,2", MonotonicMs() + 5000);
  signal(SIGPIPE, pipe_action);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  // Signals 32 and 33 are the C library's own, which posix_spawn leaves
  // ignored; no program can use them. Perl ignores SIGFPE (8) itself.
  unsigned long long blocked_set = 0, ignored = 0;
  int group = 0;
  ASSERT_EQ(sscanf(shown.error_output.c_str(), "SigBlk: %llx SigIgn: %llx group %d",
                   &blocked_set, &ignored, &group), 3) << shown.error_output;
  EXPECT_EQ(blocked_set, 0u);
  EXPECT_EQ(ignored & ~0x180000080ull, 0u);
  EXPECT_EQ(group, 1);
}

// An xdg-open whose goto has no time left is not started, nor is anything
// for a goto with less than xdg-open's wait left; one still running when
// the deadline cuts its wait short is not taken as showing the map; with
// kMaxOpenersRunning still running no other is started.
TEST_F(DesktopOpenTest, StartsNothingPastItsDeadlineOrTheCap) {
  Fake("xdg-open", "echo $$ >>" + bin_.File("pids") + "; exec sleep 30");
  Fake("xdg-mime", "echo $$ >>" + bin_.File("pids") + "; echo maps.desktop");
  const BridgeReply late = GeoBridge().ShowBy({1, 2, 5}, MonotonicMs() + kOpenWaitMs / 2);
  EXPECT_EQ(late.code, kHandOffFailed);
  EXPECT_EQ(late.text, "not shown within 4 s");
  EXPECT_EQ(DesktopOpen("geo:1,2", MonotonicMs() - 1).kind, OpenOutcome::kOutOfTime);
  EXPECT_FALSE(std::ifstream(bin_.File("pids")).good()) << "started past its deadline";
  for (size_t i = 0; i < kMaxOpenersRunning; ++i) {
    EXPECT_EQ(DesktopOpen("geo:1,2", MonotonicMs() + 200).kind, OpenOutcome::kUnfinished);
  }
  EXPECT_EQ(DesktopOpen("geo:1,2", MonotonicMs() + 5000).kind, OpenOutcome::kBusy);
  std::ifstream pids(bin_.File("pids"));
  for (int pid; pids >> pid;) kill(pid, SIGKILL);
  EXPECT_TRUE(Eventually([] { return OpenersRunning() == 0; }));
}

// The desktop's handler is what xdg-mime names once it has ended well: a
// failed one is a failed query, not "none"; a child it leaves holding its
// output does not hold the answer; one that has not ended by the deadline
// is killed with what it started.
TEST_F(DesktopOpenTest, AsksXdgMimeAndKillsOneThatHangsWithItsChildren) {
  const std::pair<std::string, HandlerQuery::Kind> cases[] = {
      {"echo org.gnome.Maps.desktop", HandlerQuery::kFound},
      {"echo", HandlerQuery::kNone},
      {"echo marble.desktop; exit 1", HandlerQuery::kFailed},
      {"echo marble.desktop; sleep 30 &", HandlerQuery::kFound},
  };
  for (const auto& [body, kind] : cases) {
    Fake("xdg-mime", "[ \"$*\" = 'query default x-scheme-handler/geo' ] || exit 9; " + body);
    const int64_t start = MonotonicMs();
    EXPECT_EQ(QueryHandler("x-scheme-handler/geo", start + 20000).kind, kind) << body;
    EXPECT_LT(MonotonicMs() - start, 10000) << body;
  }
  Fake("xdg-mime", "sleep 30 & echo $! >" + bin_.File("pid") + "; wait");
  const int64_t start = MonotonicMs();
  const HandlerQuery hung = QueryHandler("x-scheme-handler/geo", start + 500);
  EXPECT_EQ(hung.kind, HandlerQuery::kFailed);
  EXPECT_EQ(hung.why.rfind("no answer within ", 0), 0u) << hung.why;
  EXPECT_LT(MonotonicMs() - start, 3000);
  std::string pid = ReadWholeFile(bin_.File("pid"));
  pid = pid.substr(0, pid.find('\n'));
  EXPECT_TRUE(Eventually([&] { return Ended(pid); })) << "xdg-mime's child " << pid << " still runs";
}

}  // namespace
