#include "app/follow_option.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <string>

#include "app/entry.h"
#include "app/follow_run.h"
#include "tests/fake_services.h"
#include "tests/test_support.h"

namespace {

TEST(FollowOption, SecondsFromATenthToAnHour) {
  const std::pair<const char*, int> cases[] = {
      {"--follow", 1000}, {"--follow=2.5", 2500}, {"--follow=0.1", 100}, {"--follow=.25", 250},
      {"--follow=3600", 3600000}, {"--follow=07", 7000}, {"--follow=0.125", 125}, {"--follow=0", -1},
      {"--follow=0.09", -1}, {"--follow=3600.001", -1}, {"--follow=0.1001", -1}, {"--follow=", -1},
      {"--follow=abc", -1}, {"--follow=1e9", -1}, {"--follow=-1", -1}, {"--follow=inf", -1},
      {"--follow=0x10", -1}, {"--follow=1.2.3", -1}, {"--follow=99999999999999999999", -1},
  };
  for (const auto& [word, ms] : cases) {
    SCOPED_TRACE(word);
    EXPECT_TRUE(IsFollowOption(word));
    EXPECT_EQ(ReadFollowOption(word), ms < 0 ? -EINVAL : ms);
  }
  EXPECT_FALSE(IsFollowOption("--followed") || IsFollowOption("--FOLLOW"));
}

TEST(FollowOption, AWrongOneIsAWrongArgumentSaidInOneLine) {
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"--follow=abc", "/dev/gps", "0", "9600"}, "0.1 to 3600 with at most 3 decimals"},
      {{"--follow", "2", "/dev/gps", "0", "9600"}, "takes its value after '='"},
      {{"--follow", "--follow=2", "/dev/gps", "0", "9600"}, "--follow comes once"},
      {{"--follow", "/dev/gps", "0"}, "usage: navbeacon --follow[=SECONDS] DEVICE"},
  };
  for (const auto& [wrong, fact] : cases) {
    const std::vector<const char*>& words = wrong;  // a lambda cannot take a binding
    SCOPED_TRACE(words[1]);
    FakeServices services;
    const auto [status, out, err] = Capture([&] { return EntryMain(words, services); });
    EXPECT_EQ(status, ExitStatus::kWrongArguments);
    EXPECT_EQ(out, "Wrong argument(s)!\n");
    EXPECT_NE(err.find(fact), std::string::npos) << err;
    EXPECT_TRUE(services.searches.empty());
  }
}

// With no descriptor left for the goto sender's, no goto could ever be
// sent: the run says why and ends at once instead of following in vain.
TEST(Follow, NoDescriptorForTheSenderEndsTheRun) {
  FakeServices services;
  rlimit before;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  const rlimit none = {3, before.rlim_max};
  // UBSan checks each virtual call's object once, with a pipe: a first run
  // with descriptors to spare makes those checks before the one without.
  TempDir dir;
  const std::string recording = dir.File("fix.nmea");
  WriteWholeFile(recording,
                 "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
  Capture([&] { return RunFollow({recording.c_str(), "0", "0"}, 100, services); });
  const Captured run = Capture([&] {
    setrlimit(RLIMIT_NOFILE, &none);
    const ExitStatus status = RunFollow({"/dev/null", "0", "0"}, 1000, services);
    setrlimit(RLIMIT_NOFILE, &before);
    return status;
  });
  EXPECT_EQ(run.status, ExitStatus::kStartupFailed);
  EXPECT_NE(run.err.find("Too many open files"), std::string::npos) << run.err;
}

}  // namespace
