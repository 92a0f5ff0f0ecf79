// Runs under umockdev-wrapper (it starts itself under it): libudev sees the
// USB devices each test describes (tests/devices/*.umockdev), and nothing
// else.
#include "gps/usb_receiver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>
#include <vector>

#include "app/position_run.h"
#include "platform/usb_stack.h"
#include "tests/usb_bus.h"

namespace {

class UsbReceiverTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenUsbStack()) << UsbStackError(); }
  void Attach(const char* description) {
    ASSERT_EQ(bus_.Attach(description), "");
  }

  UsbBus bus_;
};

bool Present(uint32_t vendor, uint32_t product) {
  int error = -1;
  const bool present = UsbDevicePresent(vendor, product, error);
  EXPECT_EQ(error, 0);
  return present;
}

TEST_F(UsbReceiverTest, DevicesAreFoundByTheirExactIds) {
  Attach("keyboard");  // also holds 2303:067b, the ids swapped
  Attach("ublox-other-product");
  EXPECT_TRUE(Present(0x1546, 0x01A4));
  EXPECT_TRUE(Present(0x046D, 0xC31C));
  // Each supported receiver by its own description, in the table's order.
  const char* descriptions[] = {"ublox", "pl2303", "ublox6", "ublox7", "ublox8"};
  ASSERT_EQ(std::size(descriptions), std::size(kSupportedReceivers));
  for (size_t i = 0; i < std::size(descriptions); ++i) {
    SCOPED_TRACE(descriptions[i]);
    const SupportedReceiver& receiver = kSupportedReceivers[i];
    EXPECT_FALSE(Present(receiver.vendor, receiver.product));
    Attach(descriptions[i]);
    EXPECT_TRUE(Present(receiver.vendor, receiver.product));
  }
  Attach("ublox-second");  // two identical receivers
  EXPECT_TRUE(Present(0x1546, 0x01A5));
}

TEST_F(UsbReceiverTest, TheReceiversTty) {
  char path[64];
  EXPECT_FALSE(FindUsbTty(0x1546, 0x01A5, path, sizeof path));
  Attach("keyboard");
  Attach("pl2303");
  EXPECT_FALSE(FindUsbTty(0x1546, 0x01A5, path, sizeof path));
  ASSERT_TRUE(FindUsbTty(0x067B, 0x2303, path, sizeof path));
  EXPECT_STREQ(path, "/dev/ttyUSB0");
  Attach("ublox");
  ASSERT_TRUE(FindUsbTty(0x1546, 0x01A5, path, sizeof path));
  EXPECT_STREQ(path, "/dev/ttyACM0");
}

TEST(UsbStack, WithoutTheLibraryTheSearchFailsAndSaysSo) {
  CloseUsbStack();
  int error = 0;
  EXPECT_FALSE(UsbDevicePresent(0x1546, 0x01A5, error));
  EXPECT_EQ(error, ENOSYS);
}

}  // namespace

int main(int argc, char** argv) {
  const char* preload = getenv("LD_PRELOAD");
  if (preload == nullptr || strstr(preload, "umockdev") == nullptr) {
    std::vector<char*> args = {const_cast<char*>(UMOCKDEV_WRAPPER)};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    execv(UMOCKDEV_WRAPPER, args.data());
    perror(UMOCKDEV_WRAPPER);
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
