// Runs under umockdev-wrapper (ctest starts it so): libudev sees the USB
// devices each test describes (tests/devices/*.umockdev), and nothing else.
#include "gps/usb_receiver.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <tuple>

#include "platform/usb_stack.h"
#include "platform/scoped_fd.h"
#include "tests/usb_bus.h"

namespace {

class UsbReceiverTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenUsbStack()) << UsbStackError(); }
  UsbBus bus_;
};

bool Present(uint32_t vendor, uint32_t product) {
  const int present = UsbDevicePresent(vendor, product);
  EXPECT_GE(present, 0);
  return present == 1;
}

TEST_F(UsbReceiverTest, DevicesAreFoundByTheirExactIds) {
  bus_.Attach("keyboard");  // also holds 2303:067b, the ids swapped
  bus_.Attach("ublox-other-product");
  EXPECT_TRUE(Present(0x1546, 0x01A4));
  EXPECT_TRUE(Present(0x046D, 0xC31C));
  // One receiver of each kind, by its own description (the table's order
  // is the run's test).
  const std::tuple<const char*, uint32_t, uint32_t> receivers[] = {
      {"ublox", 0x1546, 0x01A5},   {"pl2303", 0x067B, 0x2303}, {"ublox6", 0x1546, 0x01A6},
      {"ublox7", 0x1546, 0x01A7},  {"ublox8", 0x1546, 0x01A8}, {"ublox9", 0x1546, 0x01A9},
      {"pl2303g", 0x067B, 0x23A3}, {"cp210x", 0x10C4, 0xEA60}, {"ch340", 0x1A86, 0x7523},
      {"ftdi", 0x0403, 0x6015}};
  for (const auto& [description, vendor, product] : receivers) {
    SCOPED_TRACE(description);
    EXPECT_FALSE(Present(vendor, product));
    bus_.Attach(description);
    EXPECT_TRUE(Present(vendor, product));
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
