#include "platform/rexx_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// The wire format is a contract with other programs: check it byte by byte.
TEST(RexxWire, RequestLayout) {
  RexxMsg message;
  CreateRexxMsg(message, "", "MAP.1");
  message.rm_Args[0] = "goto 1 2 3";
  message.rm_Action = RXFF_RESULT;
  uint8_t out[256];
  size_t size = EncodeRexxRequest(message, out);
  const std::string expected = std::string("RXM1") +
                               std::string("\x00\x00\x02\x00", 4) +
                               std::string("\x05\x00", 2) + "MAP.1" +
                               std::string("\x00\x00", 2) +
                               std::string("\x01\x00", 2) +
                               std::string("\x0a\x00\x00\x00", 4) + "goto 1 2 3";
  ASSERT_EQ(size, expected.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), size), expected);

  ReceivedRexxMsg received;
  ASSERT_TRUE(DecodeRexxRequest(std::span<const uint8_t>(out, size), received));
  EXPECT_EQ(received.action, RXFF_RESULT);
  EXPECT_EQ(received.host_address, "MAP.1");
  EXPECT_EQ(received.file_extension, "");
  EXPECT_EQ(received.args, std::vector<std::string>{"goto 1 2 3"});
}

TEST(RexxWire, RequestsThatCannotBeSent) {
  RexxMsg empty;
  uint8_t out[64];
  EXPECT_EQ(EncodeRexxRequest(empty, out), 0u);  // no argument 0
  RexxMsg large;
  std::string text(200, 'x');
  large.rm_Args[0] = text.c_str();
  EXPECT_EQ(EncodeRexxRequest(large, out), 0u);  // does not fit
  std::vector<uint8_t> big(kMaxRexxDatagram * 2);
  std::string huge(kMaxRexxDatagram, 'x');
  large.rm_Args[0] = huge.c_str();
  EXPECT_EQ(EncodeRexxRequest(large, big), 0u);  // over the datagram limit
}

TEST(RexxWire, ReplyLayout) {
  uint8_t out[64];
  const std::string_view ok = "OK";
  size_t size = EncodeRexxReply(0, &ok, out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), size),
            std::string("RXR1\0\0\0\0\x01\x02\0\0\0OK", 15));
  size = EncodeRexxReply(-5, nullptr, out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), size),
            std::string("RXR1\xfb\xff\xff\xff\0", 9));

  // Malformed replies are refused over a real socket: public_port_test.
  int32_t result1;
  bool has_result2;
  std::string_view result2;
  ASSERT_TRUE(DecodeRexxReply(std::span<const uint8_t>(out, size), result1,
                              has_result2, result2));
  EXPECT_EQ(result1, -5);
  EXPECT_FALSE(has_result2);
}

TEST(RexxWire, MalformedRequests) {
  ReceivedRexxMsg message;
  const std::string malformed[] = {
      std::string("RXM1\0\0\0\0\0\0\0\0\0\0", 14),  // zero arguments
      std::string("RXM1\0\0\0\0\0\0\0\0\x11\0", 14),  // seventeen
      std::string("RXM1\0\0\0\0\0\0\0\0\x01\0\x09\0\0\0abc", 21),
      std::string("RXM1\0\0\0\0\x09\0", 10),
  };
  for (const std::string& request : malformed) {
    auto bytes = Bytes(request);
    EXPECT_FALSE(DecodeRexxRequest(bytes, message));
  }
}

}  // namespace
