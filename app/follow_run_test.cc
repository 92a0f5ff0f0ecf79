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
  FakeServices services;
  const std::vector<const char*> words = {"--follow=abc", "/dev/gps", "0", "9600"};
  const auto [status, out, err] = Capture([&] { return EntryMain(words, services); });
  EXPECT_EQ(status, ExitStatus::kWrongArguments);
  EXPECT_EQ(out, "Wrong argument(s)!\n");
  EXPECT_NE(err.find("--follow=abc: SECONDS"), std::string::npos) << err;
  EXPECT_NE(err.find("0.1 to 3600"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
  EXPECT_TRUE(services.searches.empty());
}

}  // namespace
