#include "rexx/rexx_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The wire format is a contract with other programs: check it byte by byte.
// (Replies are written byte by byte in rexx_command_test, and the stand-in
// map application shows the fields it decodes in TheMessageArrivesAsSent.)
TEST(RexxWire, RequestLayoutAndWhatCannotBeSent) {
  RexxMsg message;
  CreateRexxMsg(message, "", "MAP.1");
  message.rm_Args[0] = "goto 1 2 3";
  message.rm_Action = RXFF_RESULT;
  uint8_t out[256];
  const size_t size = EncodeRexxRequest(message, out);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), size),
            std::string("RXM1\0\0\x02\0\x05\0MAP.1\0\0\x01\0\x0a\0\0\0", 23) + "goto 1 2 3");

  RexxMsg empty;
  EXPECT_EQ(EncodeRexxRequest(empty, out), 0u);  // no argument 0
  std::string huge(kMaxRexxDatagram, 'x');
  message.rm_Args[0] = huge.c_str();
  std::vector<uint8_t> big(kMaxRexxDatagram * 2);
  EXPECT_EQ(EncodeRexxRequest(message, big), 0u);  // over the datagram limit
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
