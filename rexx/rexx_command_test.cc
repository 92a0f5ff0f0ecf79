#include "rexx/rexx_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <functional>

#include "platform/errors.h"
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
  EXPECT_TRUE(SendRexxCommand("KARTOVELL.1", "goto 1 2 3", true, 5000).host_success);
  RexxCommandResult without = SendRexxCommand("KARTOVELL.1", "zoom in", false, 5000);
  EXPECT_TRUE(without.host_success && !without.result);  // a result not asked for
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
    RexxCommandResult result = SendRexxCommand("MAP", "goto 1 2 3", true, 5000);
    EXPECT_EQ(result.exchange, exchange);
    EXPECT_FALSE(result.host_success || result.result);
    EXPECT_EQ(result.result1, result1);
    EXPECT_STREQ(result.error_text.get(), error_text);
  }
}

// Each step the system can fail ends the exchange in kSystemError with
// the errno that says why, as the port's and the command's error.
TEST_F(RexxCommandTest, EachSystemFailureCarriesItsErrno) {
  std::unique_ptr<HostPort> host;
  ASSERT_EQ(AddPort("MAP", host), 0);
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  const std::string huge(kMaxRexxDatagram, 'x');
  RexxMsg message;
  const std::tuple<const char*, int, std::function<Exchange(MsgPort&)>> cases[] = {
      {"no descriptor for the connection", -EMFILE, [&](MsgPort& port) {
         const rlimit none = {0, limit.rlim_max};
         setrlimit(RLIMIT_NOFILE, &none);
         port = FindPort("MAP", MonotonicMs() + 5000);
         setrlimit(RLIMIT_NOFILE, &limit);
         return port.lookup;
       }},
      {"a command too large for a datagram", -EMSGSIZE,
       [&](MsgPort& port) { return (message.rm_Args[0] = huge.c_str(), PutMsg(port, message)); }},
      {"sending on what is not a socket", -ENOTSOCK, [](MsgPort& port) {
         const RexxCommandResult result = SendRexxCommandOn(port, "MAP", "goto", true, 0);
         return (port.error = result.error, result.exchange);
       }},
      {"waiting on a descriptor closed under the port", -EBADF,
       [](MsgPort& port) { return (close(port.connection.get()), WaitPort(port, 0)); }},
      {"reading what is not a socket", -ENOTSOCK, [&](MsgPort& port) { return GetMsg(port, message); }},
  };
  for (const auto& [what, expected, step] : cases) {
    SCOPED_TRACE(what);
    MsgPort port;  // planted: /dev/null, no socket
    port.connection = ScopedFd(::open("/dev/null", O_RDWR | O_CLOEXEC));
    EXPECT_EQ(step(port), Exchange::kSystemError);
    EXPECT_EQ(port.error, expected) << FailureText(port.error);
  }
}

}  // namespace
