// The argument template parser: ReadArgs and FreeArgs.
//
// A template is a comma-separated list of keywords, each with modifiers:
//   /A  required            /N  a signed 32-bit decimal number
//   /S  a switch (no value)
// e.g. "DEVICE/A,UNIT/A,ZOOM/N,VERBOSE/S". Keywords match without regard
// to case and are given as "KEYWORD value" or "KEYWORD=value"; words that
// are not keywords fill the non-switch items in template order. A missing
// required item, a bad number, a value for a switch, a repeated keyword or
// a surplus word fails the whole parse.
//
// A lone "?" prints the template followed by ": " and parses one line of
// standard input instead of the words.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <span>
#include <string>

// One slot of the argument array; which member is set depends on the
// modifier of its template item. Unset slots read as null or off.
struct ArgSlot {
  const char* text = nullptr;       // plain or /A item: the value as typed
  const int32_t* number = nullptr;  // /N item: the converted value
  bool on = false;                  // /S item: the switch was given
};

inline constexpr size_t kMaxTemplateItems = 16;
// The longest line the "?" prompt takes, its line end included.
inline constexpr size_t kMaxPromptLine = 4096;

// What ReadArgs allocated for one parse; the slots point into it, so they
// stay valid until it is destroyed (which is FreeArgs).
class RDArgs {
 public:
  RDArgs() = default;
  RDArgs(const RDArgs&) = delete;
  RDArgs& operator=(const RDArgs&) = delete;

 private:
  friend std::unique_ptr<RDArgs> ReadArgs(const char*, std::span<ArgSlot>,
                                          std::span<const char* const>,
                                          FILE*, FILE*);
  std::deque<std::string> texts_;
  int32_t numbers_[kMaxTemplateItems] = {};
};

// Parses `words` (argv without the program name) against `templ`, filling
// one slot per template item. Returns null, with every slot cleared, when
// the words do not fit the template. `in` and `out` serve the "?" prompt.
std::unique_ptr<RDArgs> ReadArgs(const char* templ, std::span<ArgSlot> slots,
                                 std::span<const char* const> words,
                                 FILE* in, FILE* out);

// Releases what ReadArgs allocated; the slots must not be used afterwards.
inline void FreeArgs(std::unique_ptr<RDArgs> args) { args.reset(); }

// Reads a signed 32-bit decimal ("-3", "+12", "0"); false for anything
// else, including overflow.
bool ParseInt32(std::string_view text, int32_t& value);
