#include "app/follow_run.h"

#include <gtest/gtest.h>

#include <string>

#include "app/entry.h"
#include "tests/fake_services.h"

namespace {

TEST(FollowOption, SecondsFromATenthToAnHour) {
  const std::pair<const char*, int> cases[] = {
      {"--follow", 1000},        {"--follow=2.5", 2500},   {"--follow=0.1", 100},
      {"--follow=3600", 3600000}, {"--follow=.25", 250},    {"--follow=07", 7000},
      {"--follow=0", -1},        {"--follow=0.09", -1},    {"--follow=3600.001", -1},
      {"--follow=abc", -1},      {"--follow=1e9", -1},     {"--follow=-1", -1},
      {"--follow=", -1},         {"--follow=inf", -1},     {"--follow=0x10", -1},
      {"--follow=1.2.3", -1},    {"--follow=99999999999999999999", -1},
      {"--follow=0.125", 125},   {"--follow=3600.0001", -1}, {"--follow=0.1001", -1},
  };
  for (const auto& [word, ms] : cases) {
    SCOPED_TRACE(word);
    int interval_ms = 0;
    EXPECT_TRUE(IsFollowOption(word));
    EXPECT_EQ(ReadFollowOption(word, interval_ms) ? interval_ms : -1, ms);
  }
  EXPECT_FALSE(IsFollowOption("--followed"));
  EXPECT_FALSE(IsFollowOption("--FOLLOW"));
}

TEST(FollowOption, AWrongOneIsAWrongArgumentSaidInOneLine) {
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"--follow=abc", "/dev/gps", "0", "9600"},
       "navbeacon: --follow=abc: SECONDS must be a number from 0.1 to 3600 with at most 3 "
       "decimals, as in --follow=2.5\n"},
      {{"--follow", "2", "/dev/gps", "0", "9600"},
       "navbeacon: 2: --follow comes once, and --follow=SECONDS takes its value after '=', as "
       "in --follow=2.5\n"},
      {{"--follow", "--follow=2", "/dev/gps", "0", "9600"},
       "navbeacon: --follow=2: --follow comes once, and --follow=SECONDS takes its value after "
       "'=', as in --follow=2.5\n"},
      {{"--follow", "/dev/gps", "0"},
       "navbeacon: usage: navbeacon --follow[=SECONDS] DEVICE UNIT BAUDRATE [ZOOM n] [VERBOSE] "
       "[POSITION]\nnavbeacon: see navbeacon --help\n"},
  };
  for (const auto& [words, expected] : cases) {
    SCOPED_TRACE(words[1]);
    FakeServices services;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const ExitStatus status = EntryMain(words, services);
    fflush(stdout);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, ExitStatus::kWrongArguments);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Wrong argument(s)!\n");
    EXPECT_EQ(err, expected);
    EXPECT_TRUE(services.searches.empty());
  }
}

}  // namespace
