#include "app/entry.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "gps/receivers.h"
#include "tests/fake_services.h"
#include "tests/test_support.h"

namespace {

std::pair<ExitStatus, std::string> Entry(std::vector<const char*> words,
                                         FakeServices& services) {
  const Captured run = Capture([&] { return EntryMain(words, services); });
  return {run.status, run.out};
}

TEST(Entry, HelpAndVersionTouchNothing) {
  FakeServices services;
  for (const char* word : {"--help", "-h"}) {
    auto [status, help] = Entry({word}, services);
    EXPECT_EQ(status, ExitStatus::kSuccess);
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_NE(help.find("man navbeacon"), std::string::npos);
  }
  for (const char* word : {"--version", "-V"}) {
    EXPECT_EQ(Entry({word}, services), std::make_pair(ExitStatus::kSuccess,
                                                      std::string("navbeacon 1.0 (2016-06-25)\n")));
  }
  EXPECT_TRUE(services.searches.empty());
}

}  // namespace
