// libFuzzer: replies and requests come from another program; decoding any
// bytes must end cleanly, and a decoded reply must encode back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "rexx/rexx_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  int32_t result1;
  bool has_result2;
  std::string_view result2;
  if (DecodeRexxReply(bytes, result1, has_result2, result2)) {
    std::vector<uint8_t> again(size);
    size_t encoded =
        EncodeRexxReply(result1, has_result2 ? &result2 : nullptr, again);
    if (encoded != size || memcmp(again.data(), data, size) != 0) abort();
  }
  ReceivedRexxMsg request;
  DecodeRexxRequest(bytes, request);
  return 0;
}
