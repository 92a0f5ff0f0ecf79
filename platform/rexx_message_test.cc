#include "platform/rexx_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Text(const uint8_t* bytes, size_t size) {
  return std::string(reinterpret_cast<const char*>(bytes), size);
}

// The wire format is a contract with other programs: check it byte by byte.
TEST(RexxWire, RequestLayoutAndWhatCannotBeSent) {
  RexxMsg message;
  CreateRexxMsg(message, "", "MAP.1");
  message.rm_Args[0] = "goto 1 2 3";
  message.rm_Action = RXFF_RESULT;
  uint8_t out[256];
  const size_t size = EncodeRexxRequest(message, out);
  EXPECT_EQ(Text(out, size), std::string("RXM1\0\0\x02\0\x05\0MAP.1\0\0\x01\0\x0a\0\0\0", 23) +
                                 "goto 1 2 3");
  ReceivedRexxMsg received;
  ASSERT_TRUE(DecodeRexxRequest(std::span<const uint8_t>(out, size), received));
  EXPECT_EQ(received.action, RXFF_RESULT);
  EXPECT_EQ(received.host_address, "MAP.1");
  EXPECT_EQ(received.args, std::vector<std::string>{"goto 1 2 3"});

  RexxMsg empty;
  EXPECT_EQ(EncodeRexxRequest(empty, out), 0u);  // no argument 0
  std::string huge(kMaxRexxDatagram, 'x');
  message.rm_Args[0] = huge.c_str();
  EXPECT_EQ(EncodeRexxRequest(message, out), 0u);  // does not fit
  std::vector<uint8_t> big(kMaxRexxDatagram * 2);
  EXPECT_EQ(EncodeRexxRequest(message, big), 0u);  // over the datagram limit
}

TEST(RexxWire, ReplyLayout) {
  uint8_t out[64];
  const std::string_view ok = "OK";
  EXPECT_EQ(Text(out, EncodeRexxReply(0, &ok, out)),
            std::string("RXR1\0\0\0\0\x01\x02\0\0\0OK", 15));
  const size_t size = EncodeRexxReply(-5, nullptr, out);
  EXPECT_EQ(Text(out, size), std::string("RXR1\xfb\xff\xff\xff\0", 9));
  // Malformed replies are refused over a real socket: rexx_command_test.
  int32_t result1;
  bool has_result2;
  std::string_view result2;
  ASSERT_TRUE(DecodeRexxReply(std::span<const uint8_t>(out, size), result1,
                              has_result2, result2));
  EXPECT_EQ(result1, -5);
  EXPECT_FALSE(has_result2);
}

TEST(RexxWire, MalformedRequests) {
  for (const std::string& request : {
           std::string("RXM1\0\0\0\0\0\0\0\0\0\0", 14),      // zero arguments
           std::string("RXM1\0\0\0\0\0\0\0\0\x11\0", 14),    // seventeen
           std::string("RXM1\0\0\0\0\0\0\0\0\x01\0\x09\0\0\0abc", 21),
           std::string("RXM1\0\0\0\0\x09\0", 10),
       }) {
    ReceivedRexxMsg message;
    std::vector<uint8_t> bytes(request.begin(), request.end());
    EXPECT_FALSE(DecodeRexxRequest(bytes, message));
  }
}

}  // namespace
