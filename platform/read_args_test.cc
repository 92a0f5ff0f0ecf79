#include "platform/read_args.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr char kTemplate[] =
    "DEVICE/A,UNIT/A,BAUDRATE/A,ZOOM/N,VERBOSE/S,POSITION/S";

struct Parse {
  std::unique_ptr<RDArgs> args;
  ArgSlot slots[6];
};

Parse ParseWords(std::vector<const char*> words, const char* typed = "") {
  Parse parse;
  FILE* in = fmemopen(const_cast<char*>(typed), strlen(typed) + 1, "r");
  char prompt[256] = {};
  FILE* out = fmemopen(prompt, sizeof prompt, "w");
  parse.args = ReadArgs(kTemplate, parse.slots, words, in, out);
  fclose(in);
  fclose(out);
  return parse;
}

TEST(ReadArgs, PositionalWordsFillTheNonSwitchItemsInOrder) {
  Parse parse = ParseWords({"/dev/ttyACM", "0", "9600", "-3"});
  ASSERT_TRUE(parse.args);
  EXPECT_STREQ(parse.slots[0].text, "/dev/ttyACM");
  EXPECT_STREQ(parse.slots[1].text, "0");
  EXPECT_STREQ(parse.slots[2].text, "9600");
  ASSERT_NE(parse.slots[3].number, nullptr);
  EXPECT_EQ(*parse.slots[3].number, -3);
  EXPECT_FALSE(parse.slots[4].on);
  EXPECT_FALSE(parse.slots[5].on);
}

TEST(ReadArgs, KeywordsInAnyCaseAndEitherForm) {
  Parse parse = ParseWords({"position", "Zoom=+7", "baudrate", "4800",
                            "DEVICE=ttyUSB", "1", "Verbose"});
  ASSERT_TRUE(parse.args);
  EXPECT_STREQ(parse.slots[0].text, "ttyUSB");
  EXPECT_STREQ(parse.slots[1].text, "1");
  EXPECT_STREQ(parse.slots[2].text, "4800");
  EXPECT_EQ(*parse.slots[3].number, 7);
  EXPECT_TRUE(parse.slots[4].on);
  EXPECT_TRUE(parse.slots[5].on);
}

TEST(ReadArgs, OptionalItemsAbsentReadAsNullAndOff) {
  Parse parse = ParseWords({"dev", "0", "9600"});
  ASSERT_TRUE(parse.args);
  EXPECT_EQ(parse.slots[3].number, nullptr);
  EXPECT_FALSE(parse.slots[4].on);
  EXPECT_FALSE(parse.slots[5].on);
}

TEST(ReadArgs, AnyMismatchFailsTheWholeParseAndClearsTheSlots) {
  const std::vector<std::vector<const char*>> bad = {
      {},                                         // nothing
      {"dev", "0"},                               // BAUDRATE missing
      {"dev", "0", "9600", "ZOOM", "near"},       // not a number
      {"dev", "0", "9600", "ZOOM", "12x"},        // junk after it
      {"dev", "0", "9600", "ZOOM=2147483648"},    // overflow
      {"dev", "0", "9600", "ZOOM=-2147483649"},   // overflow
      {"dev", "0", "9600", "ZOOM", ""},           // empty number
      {"dev", "0", "9600", "ZOOM"},               // keyword without value
      {"dev", "0", "9600", "12", "13"},           // surplus word
      {"dev", "0", "9600", "VERBOSE=1"},          // switch with a value
      {"dev", "0", "9600", "VERBOSE", "VERBOSE"}, // repeated switch
      {"DEVICE=a", "DEVICE=b", "0", "9600"},      // repeated keyword
      {"a", "0", "9600", "DEVICE", "b"},          // positional, then keyword
  };
  for (const auto& words : bad) {
    Parse parse = ParseWords(words);
    std::string line;
    for (const char* word : words) line += std::string(word) + " ";
    EXPECT_FALSE(parse.args) << line;
    for (const ArgSlot& slot : parse.slots) {
      EXPECT_EQ(slot.text, nullptr) << line;
      EXPECT_EQ(slot.number, nullptr) << line;
      EXPECT_FALSE(slot.on) << line;
    }
  }
}

TEST(ReadArgs, NumbersAtTheLimitsOfThirtyTwoBits) {
  Parse high = ParseWords({"d", "0", "1", "ZOOM=2147483647"});
  ASSERT_TRUE(high.args);
  EXPECT_EQ(*high.slots[3].number, 2147483647);
  Parse low = ParseWords({"d", "0", "1", "ZOOM=-2147483648"});
  ASSERT_TRUE(low.args);
  EXPECT_EQ(*low.slots[3].number, INT32_MIN);
}

TEST(ReadArgs, ALoneQuestionMarkPromptsAndParsesOneTypedLine) {
  ArgSlot slots[6];
  const char typed[] = "\"/dev/my gps\" 0 9600 ZOOM=5 POSITION\nignored\n";
  FILE* in = fmemopen(const_cast<char*>(typed), sizeof typed - 1, "r");
  char prompt[256] = {};
  FILE* out = fmemopen(prompt, sizeof prompt, "w");
  std::vector<const char*> words = {"?"};
  auto args = ReadArgs(kTemplate, slots, words, in, out);
  fclose(in);
  fclose(out);
  EXPECT_STREQ(prompt, (std::string(kTemplate) + ": ").c_str());
  ASSERT_TRUE(args);
  EXPECT_STREQ(slots[0].text, "/dev/my gps");
  EXPECT_EQ(*slots[3].number, 5);
  EXPECT_TRUE(slots[5].on);
  EXPECT_FALSE(slots[4].on);
}

TEST(ReadArgs, TheTypedLineFollowsTheSameRules) {
  EXPECT_FALSE(ParseWords({"?"}, "dev 0\n").args);  // BAUDRATE missing
  EXPECT_FALSE(ParseWords({"?"}, "").args);         // end of input
  EXPECT_FALSE(ParseWords({"?"}, "\"dev 0 9600\n").args);  // open quote
}

TEST(ReadArgs, SlotsStayValidUntilTheResultIsFreed) {
  std::vector<std::string> storage = {"DEVICE=/dev/x", "0", "9600"};
  std::vector<const char*> words;
  for (auto& word : storage) words.push_back(word.c_str());
  Parse parse = ParseWords(words);
  ASSERT_TRUE(parse.args);
  storage.clear();  // the value of "DEVICE=" is the parser's own copy
  EXPECT_STREQ(parse.slots[0].text, "/dev/x");
}

TEST(ReadArgs, TemplatesItDoesNotUnderstandFail) {
  ArgSlot slots[2];
  std::vector<const char*> words = {"x"};
  EXPECT_FALSE(ReadArgs("NAME/Q", slots, words, stdin, stdout));
  EXPECT_FALSE(ReadArgs("", slots, words, stdin, stdout));
  EXPECT_FALSE(ReadArgs("A,B,C", slots, words, stdin, stdout));  // 3 > 2 slots
  EXPECT_TRUE(ReadArgs("NAME/A", slots, words, stdin, stdout));
}

}  // namespace
