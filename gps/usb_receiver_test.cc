// Runs under umockdev-wrapper (ctest starts it so): libudev sees the USB
// devices each test describes (tests/devices/*.umockdev), and nothing else.
#include "gps/usb_receiver.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "gps/receivers.h"
#include "platform/scoped_fd.h"
#include "platform/usb_stack.h"
#include "tests/usb_bus.h"

namespace {

class UsbReceiverTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_EQ(OpenUsbStack(why), 0) << why;
  }
  UsbBus bus_;
};

bool Present(uint32_t vendor, uint32_t product) {
  const int present = UsbDevicePresent(vendor, product);
  EXPECT_GE(present, 0);
  return present == 1;
}

// The description in tests/devices of the USB device with these ids.
std::string DescriptionOf(const SupportedReceiver& receiver) {
  char ids[64];
  snprintf(ids, sizeof ids, "A: idProduct=%04x\nA: idVendor=%04x\n", receiver.product,
           receiver.vendor);
  for (const auto& file : std::filesystem::directory_iterator(SOURCE_DIR "/tests/devices")) {
    std::ifstream in(file.path());
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    if (text.find(ids) != std::string::npos) return file.path().stem();
  }
  return "";
}

// Each supported receiver is found by its own ids once it is attached, and
// by none other: no id of one is taken for another's.
TEST_F(UsbReceiverTest, EachSupportedReceiverIsFoundByItsExactIds) {
  bus_.Attach("keyboard");  // also holds 2303:067b, the ids swapped
  bus_.Attach("ublox-other-product");
  EXPECT_TRUE(Present(0x1546, 0x01A4));  // the bus is seen
  for (const SupportedReceiver& receiver : kSupportedReceivers) {
    const std::string description = DescriptionOf(receiver);
    SCOPED_TRACE(receiver.name + (" as " + description));
    ASSERT_NE(description, "") << "no device in tests/devices has its ids";
    EXPECT_FALSE(Present(receiver.vendor, receiver.product));
    bus_.Attach(description.c_str());
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

// A tty with no USB device above it gets no receiver check: its kind is
// said instead. A USB tty, and a name the bus does not know, keep it.
TEST_F(UsbReceiverTest, TtysOffTheUsbBusAreNamedByKind) {
  bus_.Attach("ublox");
  bus_.Attach("board-serial");
  bus_.Attach("rfcomm");  // on a USB adapter
  const ScopedFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master && unlockpt(master.get()) == 0);
  const std::pair<std::string, const char*> ttys[] = {
      {"/dev/ttyAMA0", "a serial port of the board"},
      {"/dev/ttyS0", "a serial port of the board"},
      {"/dev/rfcomm0", "a Bluetooth serial link"},
      {ptsname(master.get()), "a pseudo-terminal"},
      {"/dev/ptmx", "the pseudo-terminal multiplexer: it opens a new pseudo-terminal, which "
                    "nobody writes to"},
      {"/dev/ttyACM0", nullptr},
      {"/dev/ttyNAVB9", nullptr},
  };
  for (const auto& [path, kind] : ttys) EXPECT_STREQ(OffUsbKind(path.c_str()), kind) << path;
}

}  // namespace
