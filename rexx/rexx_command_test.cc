#include "rexx/rexx_command.h"

#include <gtest/gtest.h>
#include "platform/wait.h"
#include "tests/raw_host.h"
#include "tests/test_support.h"

namespace {

class RexxCommandTest : public testing::Test {
 protected:
  void SetUp() override { setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1); }
  TempDir runtime_;
};

TEST_F(RexxCommandTest, TheMessageArrivesAsSent) {
  MapHost host(runtime_.path(), {"--fields"});
  RexxCommandResult with =
      SendRexxCommand("KARTOVELL.1", "goto 1 2 3", true, 5000);
  EXPECT_TRUE(with.host_success);
  ASSERT_TRUE(with.result);
  EXPECT_STREQ(with.result.get(), "OK");
  RexxCommandResult without =
      SendRexxCommand("KARTOVELL.1", "zoom in", false, 5000);
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
  EXPECT_NE(out.find("zoom in\n  action: 0x00000000\n"), std::string::npos);
}

struct Reply {
  const char* what;
  std::optional<std::string> bytes;
  Exchange exchange;
  int32_t result1;
  const char* error_text;
};

TEST_F(RexxCommandTest, EachWayAnExchangeEnds) {
  std::string oversized = std::string("RXR1\0\0\0\0\x01\xf7\xff\0\0", 13);
  oversized.resize(kMaxRexxDatagram + 1, 'x');
  const Reply replies[] = {
      {"error with text", std::string("RXR1\x0a\0\0\0\x01\x04\0\0\0busy", 17),
       Exchange::kOk, 10, "busy"},
      {"error alone", std::string("RXR1\x05\0\0\0\0", 9), Exchange::kOk, 5,
       nullptr},
      {"no reply", std::nullopt, Exchange::kClosed, 0, nullptr},
      {"short", std::string("RXR1\0\0", 6), Exchange::kMalformed, 0, nullptr},
      {"wrong magic", std::string("RXM1\0\0\0\0\0", 9), Exchange::kMalformed, 0,
       nullptr},
      {"flag 2", std::string("RXR1\0\0\0\0\x02", 9), Exchange::kMalformed, 0,
       nullptr},
      {"length beyond", std::string("RXR1\0\0\0\0\x01\x09\0\0\0OK", 15),
       Exchange::kMalformed, 0, nullptr},
      {"trailing", std::string("RXR1\0\0\0\0\x01\x02\0\0\0OK!", 16),
       Exchange::kMalformed, 0, nullptr},
      {"over 65536 bytes", oversized, Exchange::kMalformed, 0, nullptr},
  };
  for (const Reply& reply : replies) {
    SCOPED_TRACE(reply.what);
    RawHost host("MAP", reply.bytes);
    ASSERT_TRUE(host.ready());
    RexxCommandResult result = SendRexxCommand("MAP", "goto 1 2 3", true, 5000);
    EXPECT_EQ(result.exchange, reply.exchange);
    EXPECT_FALSE(result.host_success);
    EXPECT_FALSE(result.result);
    EXPECT_EQ(result.result1, reply.result1);
    EXPECT_STREQ(result.error_text.get(), reply.error_text);
  }
  EXPECT_EQ(SendRexxCommand("MAP", "goto", true, 5000).exchange,
            Exchange::kNoPort);
}

TEST_F(RexxCommandTest, AHostThatNeverRepliesIsGivenUpOnAtTheDeadline) {
  MapHost host(runtime_.path(), {"--no-reply"});
  const int64_t start = MonotonicMs();
  RexxCommandResult result = SendRexxCommand("KARTOVELL.1", "goto", true, 300);
  EXPECT_EQ(result.exchange, Exchange::kTimedOut);
  EXPECT_GE(MonotonicMs() - start, 300);
}

}  // namespace
