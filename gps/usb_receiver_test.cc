// Runs under umockdev-wrapper: libudev sees the USB devices each test
// describes (tests/devices/*.umockdev), and nothing else.
#include "gps/usb_receiver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/position_run.h"
#include "platform/usb_stack.h"
#include "tests/usb_bus.h"

namespace {

class UsbReceiverTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(umockdev_in_mock_environment())
        << "run this test under umockdev-wrapper";
    ASSERT_TRUE(OpenUsbStack());
  }
  void Attach(const char* description) {
    ASSERT_EQ(bus_.Attach(description), "");
  }

  UsbBus bus_;
};

constexpr uint32_t kUblox[2] = {0x1546, 0x01A5};
constexpr uint32_t kProlific[2] = {0x067B, 0x2303};

bool Present(const uint32_t (&ids)[2]) {
  return UsbDevicePresent(ids[0], ids[1]);
}

TEST_F(UsbReceiverTest, NoUsbDevicesAtAll) {
  EXPECT_FALSE(Present(kUblox));
  EXPECT_FALSE(Present(kProlific));
}

TEST_F(UsbReceiverTest, OtherDevicesAndNearMissesAreNotAccepted) {
  Attach("keyboard");  // also holds 2303:067b, the ids swapped
  Attach("ublox-other-product");
  EXPECT_FALSE(Present(kUblox));
  EXPECT_FALSE(Present(kProlific));
  EXPECT_TRUE(UsbDevicePresent(0x1546, 0x01A6));
  EXPECT_TRUE(UsbDevicePresent(0x046D, 0xC31C));
}

TEST_F(UsbReceiverTest, EachSupportedReceiverIsFoundByItsIds) {
  Attach("ublox");
  EXPECT_TRUE(Present(kUblox));
  EXPECT_FALSE(Present(kProlific));
  Attach("pl2303");
  EXPECT_TRUE(Present(kProlific));
}

TEST_F(UsbReceiverTest, TwoIdenticalReceiversArePresentToo) {
  Attach("ublox");
  Attach("ublox-second");
  EXPECT_TRUE(Present(kUblox));
}

TEST_F(UsbReceiverTest, TheReceiversTty) {
  char path[64];
  EXPECT_FALSE(FindUsbTty(kUblox[0], kUblox[1], path, sizeof path));
  Attach("keyboard");
  Attach("pl2303");
  EXPECT_FALSE(FindUsbTty(kUblox[0], kUblox[1], path, sizeof path));
  ASSERT_TRUE(FindUsbTty(kProlific[0], kProlific[1], path, sizeof path));
  EXPECT_STREQ(path, "/dev/ttyUSB0");
  Attach("ublox");
  ASSERT_TRUE(FindUsbTty(kUblox[0], kUblox[1], path, sizeof path));
  EXPECT_STREQ(path, "/dev/ttyACM0");
}

// The real services, counting the searches the run makes through them.
class CountingServices : public LinuxRunServices {
 public:
  std::vector<uint32_t> products;
  bool UsbDevicePresent(uint32_t vendor, uint32_t product) override {
    products.push_back(product);
    return LinuxRunServices::UsbDevicePresent(vendor, product);
  }
};

int RunQuietly(CountingServices& services) {
  CommandArgs args{"/nonexistent/tty", "0", "9600", nullptr, false, false};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = RunPositionUpdate(args, services);
  fflush(stdout);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return status;
}

TEST_F(UsbReceiverTest, TheRunLooksForTheSecondReceiverOnlyWithoutTheFirst) {
  CountingServices none;
  EXPECT_EQ(RunQuietly(none), kExitNoReceiver);
  EXPECT_EQ(none.products, (std::vector<uint32_t>{0x01A5, 0x2303}));

  Attach("pl2303");
  CountingServices prolific;
  EXPECT_EQ(RunQuietly(prolific), kExitDamagedData);
  EXPECT_EQ(prolific.products, (std::vector<uint32_t>{0x01A5, 0x2303}));

  Attach("ublox");
  CountingServices both;
  EXPECT_EQ(RunQuietly(both), kExitDamagedData);
  EXPECT_EQ(both.products, std::vector<uint32_t>{0x01A5});
}

TEST(UsbStack, WithoutTheLibraryNothingIsPresent) {
  CloseUsbStack();
  EXPECT_EQ(UsbStackBase(), nullptr);
  EXPECT_FALSE(UsbDevicePresent(0x1546, 0x01A5));
  char path[16];
  EXPECT_FALSE(FindUsbTty(0x1546, 0x01A5, path, sizeof path));
}

}  // namespace
