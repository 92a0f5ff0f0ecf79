// Runs under umockdev-wrapper (ctest starts it so): libudev sees the USB
// devices each test describes (tests/devices/*.umockdev), and nothing else.
#include "gps/usb_receiver.h"

#include <gtest/gtest.h>

#include <iterator>

#include "app/position_run.h"
#include "platform/usb_stack.h"
#include "tests/usb_bus.h"

namespace {

class UsbReceiverTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenUsbStack()) << UsbStackError(); }
  UsbBus bus_;
};

bool Present(uint32_t vendor, uint32_t product) {
  int error = -1;
  const bool present = UsbDevicePresent(vendor, product, error);
  EXPECT_EQ(error, 0);
  return present;
}

TEST_F(UsbReceiverTest, DevicesAreFoundByTheirExactIds) {
  bus_.Attach("keyboard");  // also holds 2303:067b, the ids swapped
  bus_.Attach("ublox-other-product");
  EXPECT_TRUE(Present(0x1546, 0x01A4));
  EXPECT_TRUE(Present(0x046D, 0xC31C));
  // Each supported receiver by its own description, in the table's order.
  const char* descriptions[] = {"ublox", "pl2303", "ublox6", "ublox7", "ublox8"};
  ASSERT_EQ(std::size(descriptions), std::size(kSupportedReceivers));
  for (size_t i = 0; i < std::size(descriptions); ++i) {
    SCOPED_TRACE(descriptions[i]);
    const SupportedReceiver& receiver = kSupportedReceivers[i];
    EXPECT_FALSE(Present(receiver.vendor, receiver.product));
    bus_.Attach(descriptions[i]);
    EXPECT_TRUE(Present(receiver.vendor, receiver.product));
  }
  bus_.Attach("ublox-second");  // two identical receivers
  EXPECT_TRUE(Present(0x1546, 0x01A5));
}

TEST_F(UsbReceiverTest, TheReceiversTty) {
  char path[64];
  EXPECT_FALSE(FindUsbTty(0x1546, 0x01A5, path, sizeof path));
  bus_.Attach("keyboard");
  bus_.Attach("pl2303");
  EXPECT_FALSE(FindUsbTty(0x1546, 0x01A5, path, sizeof path));
  ASSERT_TRUE(FindUsbTty(0x067B, 0x2303, path, sizeof path));
  EXPECT_STREQ(path, "/dev/ttyUSB0");
  bus_.Attach("ublox");
  ASSERT_TRUE(FindUsbTty(0x1546, 0x01A5, path, sizeof path));
  EXPECT_STREQ(path, "/dev/ttyACM0");
}

}  // namespace
