// The options of navbeacon's helper programs (navbeacon-maphost,
// navbeacon-gpssim), read one way: getopt_long over the program's own long
// options, with --help (-h) and --version (-V) beside them, each bad one
// named in one line.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <span>
#include <string>

struct ToolOption {
  const char* name;  // without its dashes: "count"
  // What its value must be, said when it is missing or refused ("a whole
  // number of 1 or more"); nullptr for an option that takes none.
  const char* value;
};

// Takes option `options[index]` with its value (nullptr for one that takes
// none): 0, or -EINVAL with the reason in `why` when the option's `value`
// does not say it all (left empty, that text is said).
using TakeOption = std::function<int(size_t index, const char* value, std::string& why)>;

// Reads argv with getopt_long, handing each option to `take` in order.
// -1 when the program goes on; otherwise the status it ends with: 0 once
// --help (usage on standard output) or --version ("NAME VERSION") has
// been answered, 1 when that could not be printed, or 2 once a bad option
// has been refused with RefuseOption. An argument that is no option is
// refused as one.
int ReadToolOptions(int argc, char** argv, const char* name,
                    std::span<const ToolOption> options, void (*usage)(FILE*),
                    const TakeOption& take);

// Says on standard error, in one line and escaped, "NAME: WHY; NAME
// --help lists the options" (NAME: being the program's Warnf prefix, which
// it has set); the status to end with, 2.
int RefuseOption(const char* name, const std::string& why);
