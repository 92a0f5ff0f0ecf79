#include "rexx/goto_command.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace {

TEST(FormatGotoCommand, SixDecimalsAtMostNeverAnExponentNeverMinusZero) {
  const std::tuple<double, double, int32_t, const char*> cases[] = {
      {48.1173, 11.516666667, 12, "goto 48.1173 11.516667 12"},
      {-37.860833333, 145.122666667, 0, "goto -37.860833 145.122667 0"},
      {0.00001, -0.001, -3, "goto 0.00001 -0.001 -3"},
      {-0.0, 180.0, 5, "goto 0 180 5"},
      {-0.0000001, 1e-7, 1, "goto 0 0 1"},
      {-90.0, -179.9999996, 20, "goto -90 -180 20"},
  };
  for (const auto& [latitude, longitude, zoom, expected] : cases) {
    char text[100];
    FormatGotoCommand(text, sizeof text, latitude, longitude, zoom);
    EXPECT_STREQ(text, expected);
  }
}

TEST(SendGotoCommand, WithoutTheMapApplicationTheUserIsToldToStartIt) {
  RuntimeDir runtime;
  testing::internal::CaptureStdout();
  EXPECT_EQ(SendGotoCommand(12, 48.1173, 11.5167).outcome, GotoOutcome::kNoPort);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "No ARexx Port found!\nYou must start Kartovell first.\n");
}

}  // namespace
