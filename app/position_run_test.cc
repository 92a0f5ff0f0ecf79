#include "app/position_run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/exit_status.h"

namespace {

constexpr char kMunich[] =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";

// Stands in for the receiver, the device and the map application, and
// records what the run asked of them.
class FakeServices : public RunServices {
 public:
  std::vector<std::pair<uint32_t, uint32_t>> attached;
  std::string snapshot;
  int open_error = 0;
  const char* tty = nullptr;

  std::vector<std::pair<uint32_t, uint32_t>> searches;
  std::vector<std::string> gotos;
  int reads = 0;
  std::string device;
  int32_t unit = -99;
  uint32_t baud = 0;

  bool UsbDevicePresent(uint32_t vendor, uint32_t product) override {
    searches.emplace_back(vendor, product);
    for (const auto& ids : attached) {
      if (ids == std::make_pair(vendor, product)) return true;
    }
    return false;
  }
  uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* name,
                              int32_t unit_number, uint32_t rate,
                              SnapshotFailure& failure) override {
    ++reads;
    device = name;
    unit = unit_number;
    baud = rate;
    // The run hands over a zero-filled buffer.
    for (char c : buffer.text) EXPECT_EQ(c, '\0');
    if (open_error != 0) {
      failure.open_error = open_error;
      snprintf(failure.path, sizeof failure.path, "/nonexistent/%s", name);
      return 0;
    }
    memcpy(buffer.text, snapshot.data(), snapshot.size());
    return static_cast<uint32_t>(snapshot.size());
  }
  GotoOutcome SendGotoCommand(int32_t zoom, double latitude,
                              double longitude) override {
    char text[64];
    snprintf(text, sizeof text, "goto %g %g %d", latitude, longitude,
             static_cast<int>(zoom));
    gotos.push_back(text);
    return GotoOutcome::kSent;
  }
  bool FindReceiverTty(uint32_t, uint32_t, char* path, size_t size) override {
    if (tty == nullptr) return false;
    snprintf(path, size, "%s", tty);
    return true;
  }
};

struct RunOutput {
  int status;
  std::string out;
  std::string err;
};

RunOutput RunWith(FakeServices& services, CommandArgs args = {}) {
  if (args.device == nullptr) {
    args.device = "/dev/ttyACM";
    args.unit = "0";
    args.baudrate = "9600";
  }
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = RunPositionUpdate(args, services);
  fflush(stdout);
  std::string err = testing::internal::GetCapturedStderr();
  return {status, testing::internal::GetCapturedStdout(), err};
}

TEST(PositionRun, NoSupportedReceiverTouchesNoDevice) {
  FakeServices services;
  services.attached = {{0x1546, 0x01A6}, {0x067B, 0x2304}};  // near misses
  RunOutput run = RunWith(services);
  EXPECT_EQ(run.status, kExitNoReceiver);
  EXPECT_EQ(run.out, "No supported gps hardware found!\n");
  EXPECT_EQ(services.reads, 0);
  EXPECT_TRUE(services.gotos.empty());
  const std::vector<std::pair<uint32_t, uint32_t>> table = {{0x1546, 0x01A5},
                                                            {0x067B, 0x2303}};
  EXPECT_EQ(services.searches, table);
}

TEST(PositionRun, AGoodPositionIsPrintedAndSent) {
  FakeServices services;
  services.attached = {{0x1546, 0x01A5}};
  services.snapshot = kMunich;
  const int32_t zoom = 15;
  CommandArgs args{" ttyUSB", " +3x", "4800 baud", &zoom, true, true};
  RunOutput run = RunWith(services, args);
  EXPECT_EQ(run.status, kExitMapCentred);
  EXPECT_EQ(run.out, std::string(kMunich) + "\n" +
                         "latitude = 48.1173, longitude = 11.5167\n");
  EXPECT_EQ(services.gotos, std::vector<std::string>{"goto 48.1173 11.5167 15"});
  // UNIT and BAUDRATE are read as atoi reads them.
  EXPECT_EQ(services.device, " ttyUSB");
  EXPECT_EQ(services.unit, 3);
  EXPECT_EQ(services.baud, 4800u);
}

TEST(PositionRun, ZoomDefaultsToTwelveAndIsSentAsGiven) {
  FakeServices services;
  services.attached = {{0x1546, 0x01A5}};
  services.snapshot = kMunich;
  RunWith(services);
  const int32_t zero = 0, negative = -3;
  RunWith(services, {"d", "0", "9600", &zero, false, false});
  RunWith(services, {"d", "0", "9600", &negative, false, false});
  const std::vector<std::string> sent = {"goto 48.1173 11.5167 12",
                                         "goto 48.1173 11.5167 0",
                                         "goto 48.1173 11.5167 -3"};
  EXPECT_EQ(services.gotos, sent);
}

TEST(PositionRun, PositionsNearZeroAndSouthWestAreSent) {
  FakeServices services;
  services.attached = {{0x1546, 0x01A5}};
  services.snapshot =
      "$GPRMC,235947.000,A,0000.0600,N,00000.0600,W,0.0,0.0,010100,,*1F\r\n";
  RunOutput run = RunWith(services, {"d", "0", "9600", nullptr, false, true});
  EXPECT_EQ(run.status, kExitMapCentred);
  EXPECT_EQ(run.out, "latitude = 0.001, longitude = -0.001\n");
  EXPECT_EQ(services.gotos, std::vector<std::string>{"goto 0.001 -0.001 12"});
}

TEST(PositionRun, ADeviceThatCannotBeOpenedIsExplainedOnStandardError) {
  FakeServices services;
  services.attached = {{0x067B, 0x2303}};
  services.open_error = EACCES;
  services.tty = "/dev/ttyUSB3";
  RunOutput run = RunWith(services);
  EXPECT_EQ(run.status, kExitDamagedData);
  EXPECT_EQ(run.out, "GPS Reciver recive damaged data!\n");
  EXPECT_NE(run.err.find("navbeacon: cannot open /nonexistent//dev/ttyACM: "
                         "Permission denied\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("dialout"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("the supported receiver is at /dev/ttyUSB3\n"),
            std::string::npos)
      << run.err;
}

TEST(AsciiToInt, ReadsLikeAtoiWithoutOverflowing) {
  EXPECT_EQ(AsciiToInt("9600"), 9600);
  EXPECT_EQ(AsciiToInt("  -12abc"), -12);
  EXPECT_EQ(AsciiToInt("+7"), 7);
  EXPECT_EQ(AsciiToInt("fast"), 0);
  EXPECT_EQ(AsciiToInt(""), 0);
  EXPECT_EQ(AsciiToInt("- 5"), 0);
  EXPECT_EQ(AsciiToInt("99999999999999999999"), INT32_MAX);
  EXPECT_EQ(AsciiToInt("-99999999999999999999"), INT32_MIN);
}

}  // namespace
