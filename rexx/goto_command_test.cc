#include "rexx/goto_command.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace {

class GotoCommandTest : public testing::Test {
 protected:
  TempDir runtime_;
  ScopedEnv env_{"XDG_RUNTIME_DIR", runtime_.path()};
};

TEST_F(GotoCommandTest, NoMapApplication) {
  testing::internal::CaptureStdout();
  GotoOutcome outcome = SendGotoCommand(12, 48.1173, 11.5167);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "No ARexx Port found!\nYou must start Kartovell first.\n");
  EXPECT_EQ(outcome, GotoOutcome::kNoPort);
}

TEST_F(GotoCommandTest, TheCommandTextAndTheMapLink) {
  MapHost host(runtime_.path());
  testing::internal::CaptureStdout();
  EXPECT_EQ(SendGotoCommand(12, 48.07038, 11.516666667), GotoOutcome::kSent);
  EXPECT_EQ(SendGotoCommand(0, -37.86083333, 145.1226667), GotoOutcome::kSent);
  EXPECT_EQ(SendGotoCommand(-3, 0.001, -0.001), GotoOutcome::kSent);
  EXPECT_EQ(SendGotoCommand(5, 1e-7, 180), GotoOutcome::kSent);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_TRUE(host.child().WaitForOutput("goto 1e-07 180 5"));
  const std::string out = host.child().Stdout();
  for (const char* line :
       {"] goto 48.0704 11.5167 12\n", "] goto -37.8608 145.123 0\n",
        "] goto 0.001 -0.001 -3\n", "] goto 1e-07 180 5\n",
        "  map: https://www.openstreetmap.org/?mlat=48.070400&mlon=11.516700"
        "#map=12/48.070400/11.516700\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  }
}

TEST_F(GotoCommandTest, AnErrorReplyIsAFailedExchangeNotAMissingPort) {
  MapHost host(runtime_.path(), {"--error", "5"});
  testing::internal::CaptureStdout();
  EXPECT_EQ(SendGotoCommand(12, 1.0, 2.0), GotoOutcome::kFailed);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
