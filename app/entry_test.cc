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

// The generic USB-to-serial bridges serve many devices that are not
// receivers: the rule leaves them to the dialout group. The PL2303 it has
// always had stays.
TEST(SupportedReceivers, TheUdevRuleGivesEachReceiverToTheUser) {
  const std::string rules = ReadWholeFile(SOURCE_DIR "/udev/70-navbeacon.rules");
  for (const SupportedReceiver& receiver : kSupportedReceivers) {
    char ids[80];
    snprintf(ids, sizeof ids, "ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\"",
             receiver.vendor, receiver.product);
    const bool generic = std::string(receiver.name).find("bridge") != std::string::npos &&
                         !(receiver.vendor == 0x067B && receiver.product == 0x2303);
    EXPECT_EQ(rules.find(ids) == std::string::npos, generic) << ids;
    if (!generic) {
      EXPECT_NE(rules.find(std::string(ids) + ", TAG+=\"uaccess\", "
                                              "ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"),
                std::string::npos) << ids;
    }
  }
}

}  // namespace
