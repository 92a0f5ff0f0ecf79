#include "gps/receivers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/test_support.h"

namespace {

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
