#include "rexx/rexx_command.h"

#include <gtest/gtest.h>
#include "platform/wait.h"
#include "tests/raw_host.h"
#include "tests/test_support.h"

namespace {

class RexxCommandTest : public testing::Test {
 protected:
  RuntimeDir runtime_;
};

TEST_F(RexxCommandTest, TheMessageArrivesAsSent) {
  auto host = StartMapHost(runtime_.path(), {"--fields"});
  RexxCommandResult with = SendRexxCommand("KARTOVELL.1", "goto 1 2 3", true, 5000);
  EXPECT_STREQ(with.result.get(), "OK");
  RexxCommandResult without = SendRexxCommand("KARTOVELL.1", "zoom in", false, 5000);
  EXPECT_TRUE(without.host_success);
  EXPECT_FALSE(without.result);  // not asked for
  EXPECT_TRUE(host->WaitForOutput(
      "goto 1 2 3\n  action: 0x00020000\n  host address: KARTOVELL.1\n"
      "  file extension: \"\"\n  arguments: 1\n  argument 0: goto 1 2 3\n"));
  EXPECT_TRUE(host->WaitForOutput("zoom in\n  action: 0x00000000\n"));
}

TEST_F(RexxCommandTest, EachWayAnExchangeEnds) {
  std::string oversized = std::string("RXR1\0\0\0\0\x01\xf7\xff\0\0", 13);
  oversized.resize(kMaxRexxDatagram + 1, 'x');
  std::vector<std::tuple<std::optional<std::string>, Exchange, int32_t, const char*>> replies = {
      {std::string("RXR1\x0a\0\0\0\x01\x04\0\0\0busy", 17), Exchange::kOk, 10, "busy"},
      {std::string("RXR1\x05\0\0\0\0", 9), Exchange::kOk, 5, nullptr},
      {std::nullopt, Exchange::kClosed, 0, nullptr}};  // hangs up
  for (const std::string& malformed : {
           std::string("RXR1\0\0", 6), std::string("RXM1\0\0\0\0\0", 9),  // short, magic
           std::string("RXR1\0\0\0\0\x02", 9),                         // flag 2
           std::string("RXR1\0\0\0\0\x01\x09\0\0\0OK", 15),            // length beyond
           std::string("RXR1\0\0\0\0\x01\x02\0\0\0OK!", 16), oversized}) {  // trailing
    replies.emplace_back(malformed, Exchange::kMalformed, 0, nullptr);
  }
  for (const auto& [bytes, exchange, result1, error_text] : replies) {
    SCOPED_TRACE(testing::PrintToString(bytes.value_or("").substr(0, 20)));
    RawHost host("MAP", bytes);
    ASSERT_TRUE(host.ready());
    RexxCommandResult result = SendRexxCommand("MAP", "goto 1 2 3", true, 5000);
    EXPECT_EQ(result.exchange, exchange);
    EXPECT_FALSE(result.host_success || result.result);
    EXPECT_EQ(result.result1, result1);
    EXPECT_STREQ(result.error_text.get(), error_text);
  }
  EXPECT_EQ(SendRexxCommand("MAP", "goto", true, 5000).exchange, Exchange::kNoPort);
}

}  // namespace
