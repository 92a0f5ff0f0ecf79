#include "platform/standard_options.h"

#include <getopt.h>

#include <cerrno>
#include <vector>

#include "platform/console.h"
#include "platform/errors.h"

namespace {

// getopt_long's value for options[index], past every character a short
// option can be.
constexpr int kFirstLong = 256;

}  // namespace

int RefuseOption(const char* name, const std::string& why) {
  Warnf("%s; %s --help lists the options\n", why.c_str(), name);
  return 2;
}

int ReadToolOptions(int argc, char** argv, const char* name,
                    std::span<const ToolOption> options, void (*usage)(FILE*),
                    const TakeOption& take) {
  std::vector<option> table;
  for (size_t i = 0; i < options.size(); ++i) {
    table.push_back({options[i].name, options[i].value != nullptr ? required_argument : no_argument,
                     nullptr, kFirstLong + static_cast<int>(i)});
  }
  table.push_back({"help", no_argument, nullptr, 'h'});
  table.push_back({"version", no_argument, nullptr, 'V'});
  table.push_back({nullptr, 0, nullptr, 0});
  // '+': the first argument that is no option ends them (and is refused);
  // ':': a missing value is told apart from an unknown option; opterr 0:
  // the refusals are ours, in our words.
  opterr = 0;
  optind = 0;
  for (;;) {
    const int got = getopt_long(argc, argv, "+:hV", table.data(), nullptr);
    if (got == -1) break;
    // The option as it was written, up to an '=' and its value.
    std::string written = argv[optind - 1];
    written = written.substr(0, written.find('='));
    if (got == 'h' || got == 'V') {
      if (got == 'h') usage(stdout);
      if (got == 'V') printf("%s %s\n", name, NAVBEACON_VERSION);
      if (const int error = FlushStandardOutput(); error < 0) {
        Warnf("standard output could not be written: %s\n", FailureText(error));
        return 1;
      }
      return 0;
    }
    if (got == '?') {
      // A long option unknown (optopt 0) or given a value it does not
      // take, or an unknown letter, which may stand in a group (-xh) where
      // optind has not moved on.
      const bool letter = optopt != 0 && optopt < kFirstLong &&
                          !((optopt == 'h' || optopt == 'V') && written.starts_with("--"));
      if (letter) {
        return RefuseOption(name, std::string("-") + static_cast<char>(optopt) + ": not an option");
      }
      return RefuseOption(name, written + (optopt != 0 ? ": takes no value" : ": not an option"));
    }
    if (got == ':') {
      const size_t index = static_cast<size_t>(optopt - kFirstLong);
      return RefuseOption(name, written + ": its value is missing (" +
                                    options[index].value + ")");
    }
    const size_t index = static_cast<size_t>(got - kFirstLong);
    std::string why;
    if (take(index, optarg, why) == 0) continue;
    if (why.empty()) why = options[index].value;
    written = "--" + std::string(options[index].name);
    // An empty value is shown quoted, so that it can be seen.
    const std::string value = optarg == nullptr ? "" : *optarg == '\0' ? " ''" : std::string(" ") + optarg;
    return RefuseOption(name, written + value + ": " + why);
  }
  if (optind < argc) return RefuseOption(name, std::string(argv[optind]) + ": not an option");
  return -1;
}
