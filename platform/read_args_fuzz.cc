// libFuzzer: the input is split at zero bytes into words (the first byte
// chooses whether they are typed at the "?" prompt instead). Every parse
// must end cleanly, and a successful one must fill the required slots.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/read_args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool prompt = data[0] & 1;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> storage;
  std::vector<const char*> words;
  std::string typed;
  if (prompt) {
    words.push_back("?");
    typed = text;
  } else {
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\0', start);
      if (end == std::string::npos) end = text.size();
      storage.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    for (const std::string& word : storage) words.push_back(word.c_str());
  }
  FILE* in = fmemopen(typed.data(), typed.size() + 1, "r");
  FILE* out = fopen("/dev/null", "w");
  ArgSlot slots[6];
  auto args = ReadArgs("DEVICE/A,UNIT/A,BAUDRATE/A,ZOOM/N,VERBOSE/S,POSITION/S",
                       slots, words, in, out);
  fclose(in);
  fclose(out);
  if (args && (slots[0].text == nullptr || slots[1].text == nullptr ||
               slots[2].text == nullptr)) {
    abort();
  }
  return 0;
}
