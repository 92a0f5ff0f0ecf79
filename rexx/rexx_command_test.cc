#include "rexx/rexx_command.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "tests/test_support.h"

namespace {

class RexxCommandTest : public testing::Test {
 protected:
  TempDir runtime_;
  ScopedEnv env_{"XDG_RUNTIME_DIR", runtime_.path()};
};

TEST_F(RexxCommandTest, TheMessageArrivesAsSent) {
  MapHost host(runtime_.path(), {"--fields"});
  RexxCommandResult with = SendRexxCommand("KARTOVELL.1", "goto 1 2 3", true);
  EXPECT_TRUE(with.host_success);
  ASSERT_TRUE(with.result);
  EXPECT_STREQ(with.result.get(), "OK");
  RexxCommandResult without = SendRexxCommand("KARTOVELL.1", "zoom in", false);
  EXPECT_TRUE(without.host_success);
  EXPECT_FALSE(without.result);  // not asked for

  ASSERT_TRUE(host.child().WaitForOutput("argument 0: zoom in"));
  const std::string out = host.child().Stdout();
  EXPECT_NE(out.find("goto 1 2 3\n"
                     "  action: 0x00020000\n"
                     "  host address: KARTOVELL.1\n"
                     "  file extension: \"\"\n"
                     "  arguments: 1\n"
                     "  argument 0: goto 1 2 3\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("zoom in\n  action: 0x00000000\n"), std::string::npos)
      << out;
}

TEST_F(RexxCommandTest, MissingPortsAndMissingArgumentsSendNothing) {
  EXPECT_FALSE(SendRexxCommand("KARTOVELL.1", "goto 1 2 3", true).host_success);
  MapHost host(runtime_.path());
  EXPECT_FALSE(SendRexxCommand("OTHER.1", "goto 1 2 3", true).host_success);
  EXPECT_FALSE(SendRexxCommand(nullptr, "goto 1 2 3", true).host_success);
  EXPECT_FALSE(SendRexxCommand("KARTOVELL.1", nullptr, true).host_success);
  host.child().Signal(SIGTERM);
  EXPECT_EQ(host.child().Wait(), 0);
  EXPECT_EQ(host.child().Stdout().find("goto"), std::string::npos);
}

TEST_F(RexxCommandTest, AnErrorReplyHasNoResultEvenWhenOneWasWanted) {
  MapHost host(runtime_.path(), {"--error", "10"});
  RexxCommandResult result = SendRexxCommand("KARTOVELL.1", "goto 1 2 3", true);
  EXPECT_FALSE(result.host_success);
  EXPECT_FALSE(result.result);
}

TEST_F(RexxCommandTest, AHostThatDiesMidExchange) {
  MapHost host(runtime_.path(), {"--no-reply"});
  std::thread killer([&] {
    host.child().WaitForOutput("goto 1 2 3");
    host.child().Signal(SIGKILL);
  });
  RexxCommandResult result = SendRexxCommand("KARTOVELL.1", "goto 1 2 3", true);
  killer.join();
  EXPECT_FALSE(result.host_success);
  EXPECT_FALSE(result.result);
}

}  // namespace
