#include "rexx/goto_command.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace {

TEST(FormatGotoCommand, SixDecimalsAtMostNeverAnExponentNeverMinusZero) {
  struct Case {
    double latitude, longitude;
    int32_t zoom;
    const char* text;
  };
  const Case cases[] = {
      {48.1173, 11.516666667, 12, "goto 48.1173 11.516667 12"},
      {-37.860833333, 145.122666667, 0, "goto -37.860833 145.122667 0"},
      {0.00001, -0.001, -3, "goto 0.00001 -0.001 -3"},
      {-0.0, 180.0, 5, "goto 0 180 5"},
      {-0.0000001, 1e-7, 1, "goto 0 0 1"},
      {-90.0, -179.9999996, 20, "goto -90 -180 20"},
  };
  for (const Case& c : cases) {
    char text[100];
    FormatGotoCommand(text, sizeof text, c.latitude, c.longitude, c.zoom);
    EXPECT_STREQ(text, c.text);
  }
}

class GotoCommandTest : public testing::Test {
 protected:
  void SetUp() override { setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1); }
  TempDir runtime_;
};

TEST_F(GotoCommandTest, WithoutTheMapApplicationTheUserIsToldToStartIt) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(SendGotoCommand(12, 48.1173, 11.5167).outcome, GotoOutcome::kNoPort);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "No ARexx Port found!\nYou must start Kartovell first.\n");
}

TEST_F(GotoCommandTest, TheCommandReachesTheMapApplication) {
  MapHost host(runtime_.path());
  testing::internal::CaptureStdout();
  EXPECT_EQ(SendGotoCommand(12, 48.1173, 11.516666667).outcome,
            GotoOutcome::kSent);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(host.child().WaitForOutput(
      "] goto 48.1173 11.516667 12\n"
      "  map: https://www.openstreetmap.org/?mlat=48.117300&mlon=11.516667"
      "#map=12/48.117300/11.516667\n"));
}

}  // namespace
