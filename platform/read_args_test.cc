#include "platform/read_args.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kTemplate[] = "DEVICE/A,UNIT/A,BAUDRATE/A,ZOOM/N,VERBOSE/S,POSITION/S";

// The slots as one line: "DEVICE|UNIT|BAUDRATE|ZOOM|VERBOSE|POSITION", with
// "-" for a null slot; or "fail" when the parse failed (all slots cleared).
std::string Parse(std::vector<const char*> words, const char* typed = "",
                  std::string* prompt = nullptr) {
  ArgSlot slots[6];
  FILE* in = fmemopen(const_cast<char*>(typed), strlen(typed) + 1, "r");
  char shown[256] = {};
  FILE* out = fmemopen(shown, sizeof shown, "w");
  std::unique_ptr<RDArgs> args = ReadArgs(kTemplate, slots, words, in, out);
  fclose(in);
  fclose(out);
  if (prompt != nullptr) *prompt = shown;
  std::string line = args ? "" : "fail";
  for (const ArgSlot& slot : slots) {
    if (!args) {
      EXPECT_TRUE(slot.text == nullptr && slot.number == nullptr && !slot.on);
      continue;
    }
    line += slot.text   ? std::string(slot.text) + "|"
            : slot.number ? std::to_string(*slot.number) + "|"
                          : std::string(slot.on ? "on|" : "-|");
  }
  return line;
}

TEST(ReadArgs, WordsFillTheTemplate) {
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"/dev/ttyACM", "0", "9600", "-3"}, "/dev/ttyACM|0|9600|-3|-|-|"},
      {{"dev", "0", "9600"}, "dev|0|9600|-|-|-|"},
      {{"position", "Zoom=+7", "baudrate", "4800", "DEVICE=ttyUSB", "1", "Verbose"},
       "ttyUSB|1|4800|7|on|on|"},
      {{"d", "0", "1", "ZOOM=2147483647"}, "d|0|1|2147483647|-|-|"},
      {{"d", "0", "1", "ZOOM=-2147483648"}, "d|0|1|-2147483648|-|-|"},
      {{}, "fail"},                                       // nothing
      {{"dev", "0"}, "fail"},                             // BAUDRATE missing
      {{"dev", "0", "9600", "ZOOM", "near"}, "fail"},     // not a number
      {{"dev", "0", "9600", "ZOOM", "12x"}, "fail"},      // junk after it
      {{"dev", "0", "9600", "ZOOM=2147483648"}, "fail"},  // overflow
      {{"dev", "0", "9600", "ZOOM", ""}, "fail"},         // empty number
      {{"dev", "0", "9600", "ZOOM"}, "fail"},             // keyword, no value
      {{"dev", "0", "9600", "12", "13"}, "fail"},         // surplus word
      {{"dev", "0", "9600", "VERBOSE=1"}, "fail"},        // switch with a value
      {{"dev", "0", "9600", "VERBOSE", "VERBOSE"}, "fail"},  // repeated
      {{"a", "0", "9600", "DEVICE", "b"}, "fail"},  // positional, then keyword
  };
  for (const auto& [words, slots] : cases) {
    EXPECT_EQ(Parse(words), slots) << testing::PrintToString(words);
  }
}

TEST(ReadArgs, ALoneQuestionMarkPromptsAndParsesOneTypedLine) {
  std::string prompt;
  EXPECT_EQ(Parse({"?"}, "\"/dev/my gps\" 0 9600 ZOOM=5 POSITION\nignored\n", &prompt),
            "/dev/my gps|0|9600|5|-|on|");
  EXPECT_EQ(prompt, std::string(kTemplate) + ": ");
  EXPECT_EQ(Parse({"?"}, "dev 0\n"), "fail");  // the same rules
  EXPECT_EQ(Parse({"?"}, ""), "fail");         // end of input
  const std::string long_line = "dev 0 9600" + std::string(kMaxPromptLine, ' ') + "\n";
  EXPECT_EQ(Parse({"?"}, long_line.c_str()), "fail");
  EXPECT_EQ(Parse({"?"}, "\"dev 0 9600\n"), "fail");  // open quote
}

}  // namespace
