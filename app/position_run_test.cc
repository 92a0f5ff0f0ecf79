#include "app/position_run.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "gps/nmea.h"
#include "platform/device_info.h"
#include "tests/fake_services.h"
#include "tests/test_support.h"

namespace {

const std::string kMunich =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
const std::string kGga = FrameNmeaSentence("GPGGA,1,2");
constexpr char kDamaged[] = "GPS Reciver recive damaged data!\n";
const std::pair<uint32_t, uint32_t> kUblox5 = {0x1546, 0x01A5};

struct RunCase {
  const char* what;
  std::string snapshot = kMunich;
  WindowEnd end = WindowEnd::kPosition;
  std::optional<GotoOutcome> goto_outcome = GotoOutcome::kSent;
  Exchange exchange = Exchange::kOk;
  ExitStatus status = ExitStatus::kMapCentred;
  std::string out;
  std::string err;
  bool verbose = false;
  int32_t result1 = 0;
};

struct RunOutput {
  ExitStatus status;
  std::string out, err;
};

RunOutput RunWith(FakeServices& services, const CommandArgs& args) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const ExitStatus status = RunPositionUpdate(args, services);
  fflush(stdout);
  std::string err = testing::internal::GetCapturedStderr();
  return {status, testing::internal::GetCapturedStdout(), err};
}

TEST(PositionRun, EveryOutcomeHasItsStatusAndItsExplanation) {
  std::string bad_rmc = kMunich;
  bad_rmc[bad_rmc.size() - 3] = '0';
  const RunCase cases[] = {
      {"a position, sent", kMunich, WindowEnd::kPosition, GotoOutcome::kSent,
       Exchange::kOk, ExitStatus::kMapCentred,
       kMunich + "\nlatitude = 48.1173, longitude = 11.5167\n", "", true},
      {"terminal escapes from the device", "\x1b[2J\x01" + kMunich,
       WindowEnd::kPosition, GotoOutcome::kSent, Exchange::kOk,
       ExitStatus::kMapCentred,
       "\\x1B[2J\\x01" + kMunich + "\nlatitude = 48.1173, longitude = 11.5167\n",
       "", true},
      {"nothing arrived", "", WindowEnd::kTimeout, {}, Exchange::kOk,
       ExitStatus::kDamagedData,
       std::string("latitude = 0, longitude = 0\n") + kDamaged,
       "navbeacon: nothing arrived from /dev/gps in 2 s; another program may "
       "be reading it, or it is not the receiver's tty\n"},
      {"an empty recording", "", WindowEnd::kInputEnded, {}, Exchange::kOk,
       ExitStatus::kDamagedData,
       std::string("latitude = 0, longitude = 0\n") + kDamaged,
       "navbeacon: nothing arrived from /dev/gps before its input ended\n"},
      {"noise at a wrong speed", "\xf0\x0f\xaa\x55", WindowEnd::kTimeout, {},
       Exchange::kOk, ExitStatus::kDamagedData,
       std::string("latitude = 0, longitude = 0\n") + kDamaged,
       "navbeacon: 4 bytes arrived from /dev/gps but no NMEA sentence; is the "
       "speed right? BAUDRATE was 9600; receivers commonly use 4800, 9600 or "
       "38400\n"},
      {"no RMC", kGga + FrameNmeaSentence("PGRMC,1") + kGga, WindowEnd::kTimeout,
       {}, Exchange::kOk, ExitStatus::kDamagedData,
       std::string("latitude = 0, longitude = 0\n") + kDamaged,
       "navbeacon: NMEA arrived but no RMC sentence (only GPGGA PGRMC); the "
       "receiver may need RMC output switched on\n"},
      {"no fix", kGga + FrameNmeaSentence("GNRMC,,V,,,,,,,,,,N"),
       WindowEnd::kTimeout, {}, Exchange::kOk, ExitStatus::kDamagedData,
       std::string("latitude = 0, longitude = 0\n") + kDamaged,
       "navbeacon: the receiver has no fix yet (its RMC sentences say status "
       "V); give it a clear view of the sky and try again\n"},
      {"line noise", kGga + bad_rmc, WindowEnd::kTimeout, {}, Exchange::kOk,
       ExitStatus::kDamagedData,
       std::string("latitude = 0, longitude = 0\n") + kDamaged,
       "navbeacon: 1 RMC sentences failed their checksum: a noisy line or a "
       "wrong BAUDRATE\n"},
      {"bad coordinates", FrameNmeaSentence("GPRMC,1,A,4860.0,N,01131.0,E,,,,,"),
       WindowEnd::kTimeout, {}, Exchange::kOk, ExitStatus::kDamagedData,
       std::string("latitude = 0, longitude = 0\n") + kDamaged,
       "navbeacon: the RMC sentences held malformed or out-of-range "
       "coordinates\n"},
      {"no map application", kMunich, WindowEnd::kPosition,
       GotoOutcome::kNoPort, Exchange::kNoPort, ExitStatus::kNoMapPort,
       "latitude = 48.1173, longitude = 11.5167\n", ""},
      {"an error reply", kMunich, WindowEnd::kPosition, GotoOutcome::kFailed,
       Exchange::kOk, ExitStatus::kMapExchangeFailed,
       "latitude = 48.1173, longitude = 11.5167\n",
       "navbeacon: the map application replied with error 10\n", false, 10},
      {"no reply in time", kMunich, WindowEnd::kPosition, GotoOutcome::kFailed,
       Exchange::kTimedOut, ExitStatus::kMapExchangeFailed,
       "latitude = 48.1173, longitude = 11.5167\n",
       "navbeacon: the map application did not reply within 10 s\n"},
      {"closed", kMunich, WindowEnd::kPosition, GotoOutcome::kFailed,
       Exchange::kClosed, ExitStatus::kMapExchangeFailed,
       "latitude = 48.1173, longitude = 11.5167\n",
       "navbeacon: the map application closed the connection without "
       "replying\n"},
      {"malformed", kMunich, WindowEnd::kPosition, GotoOutcome::kFailed,
       Exchange::kMalformed, ExitStatus::kMapExchangeFailed,
       "latitude = 48.1173, longitude = 11.5167\n",
       "navbeacon: the map application sent a malformed reply\n"},
      {"Ctrl-C in the exchange", kMunich, WindowEnd::kPosition,
       GotoOutcome::kInterrupted, Exchange::kInterrupted,
       ExitStatus::kInterrupted, "latitude = 48.1173, longitude = 11.5167\n",
       ""},
      {"Ctrl-C in the window", "", WindowEnd::kInterrupted, {}, Exchange::kOk,
       ExitStatus::kInterrupted, "", ""},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.what);
    FakeServices services;
    services.attached = {kUblox5};
    services.snapshot = c.snapshot;
    services.report.end = c.end;
    snprintf(services.report.path, sizeof services.report.path, "/dev/gps");
    services.goto_outcome = c.goto_outcome;
    services.exchange = c.exchange;
    services.result1 = c.result1;
    RunOutput run =
        RunWith(services, {"/dev/gps", "0", "9600", nullptr, c.verbose, true});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(services.gotos.size(), c.goto_outcome ? 1u : 0u);
  }
}

TEST(PositionRun, TheReceiversAreLookedForInTheirOrderAndNoDeviceIsTouched) {
  FakeServices services;
  services.attached = {{0x1546, 0x01A4}, {0x2303, 0x067B}};  // near misses
  services.snapshot = kMunich;
  services.usb_error = ENOMEM;
  RunOutput run = RunWith(services, {"/dev/gps", "0", "9600", nullptr, false, false});
  EXPECT_EQ(run.status, ExitStatus::kNoReceiver);
  EXPECT_EQ(run.out, "No supported gps hardware found!\n");
  EXPECT_EQ(run.err,
            "navbeacon: cannot search the USB bus: Cannot allocate memory\n");
  EXPECT_EQ(services.device, "");
  std::vector<std::pair<uint32_t, uint32_t>> table;
  for (const SupportedReceiver& receiver : kSupportedReceivers) {
    table.emplace_back(receiver.vendor, receiver.product);
  }
  EXPECT_EQ(services.searches, table);

  // The second receiver is looked for only without the first.
  services.attached = {kUblox5, {0x067B, 0x2303}};
  services.searches.clear();
  RunWith(services, {"/dev/gps", "0", "9600", nullptr, false, false});
  EXPECT_EQ(services.searches, decltype(table){kUblox5});
}

TEST(PositionRun, ArgumentsReachTheDeviceAndTheMap) {
  FakeServices services;
  services.attached = {{0x067B, 0x2303}};
  services.snapshot =
      FrameNmeaSentence("GPRMC,1,A,0000.000,S,00000.000,W,,,,,");
  services.goto_outcome = GotoOutcome::kSent;
  const int32_t zoom = -3;
  RunOutput run = RunWith(services, {" ttyUSB", " +3x", "4800 baud", &zoom, false, true});
  EXPECT_EQ(run.status, ExitStatus::kMapCentred);
  EXPECT_EQ(run.out, "latitude = 0, longitude = 0\n");
  // UNIT and BAUDRATE are read as atoi reads them.
  EXPECT_EQ(services.device, " ttyUSB");
  EXPECT_EQ(services.unit, 3);
  EXPECT_EQ(services.baud, 4800u);
  RunWith(services, {"d", "0", "9600", nullptr, false, false});
  EXPECT_EQ(services.gotos,
            (std::vector<std::string>{"goto 0 0 -3", "goto 0 0 12"}));
}

TEST(PositionRun, ADeviceThatCannotBeOpenedIsExplained) {
  TempDir dir;
  const std::string device = dir.File("ttyACM0");
  WriteWholeFile(device, "");
  const group* dialout = getgrgid(20);
  ASSERT_NE(dialout, nullptr);
  struct Case {
    mode_t mode;
    std::string hint;
  };
  const Case cases[] = {
      {0660, "navbeacon: hint: " + device + " belongs to the group " +
                 dialout->gr_name + "; join it with 'sudo usermod -aG " +
                 dialout->gr_name + " $USER' and log in again\n"},
      {0640, "navbeacon: hint: " + device + " belongs to " +
                 getpwuid(geteuid())->pw_name + ":" + dialout->gr_name +
                 " with mode 0640; ask its owner for access\n"},
  };
  if (chown(device.c_str(), geteuid(), 20) != 0) {
    NAVBEACON_SKIP("NOTICE: cannot give a file to the group dialout");
  }
  for (const Case& c : cases) {
    chmod(device.c_str(), c.mode);
    FakeServices services;
    services.attached = {kUblox5};
    services.snapshot = "";
    services.report.end = WindowEnd::kOpenFailed;
    services.report.error = EACCES;
    snprintf(services.report.path, sizeof services.report.path, "%s",
             device.c_str());
    services.tty = "/dev/ttyACM3";
    RunOutput run =
        RunWith(services, {device.c_str(), "0", "9600", nullptr, false, false});
    EXPECT_EQ(run.status, ExitStatus::kDamagedData);
    EXPECT_EQ(run.out, kDamaged);
    const std::string rule_hint =
        UdevRuleInstalled()
            ? ""
            : "navbeacon: hint: with the udev rule 70-navbeacon.rules "
              "installed (see the README), the logged-in user may open "
              "supported receivers\n";
    EXPECT_EQ(run.err, "navbeacon: cannot open " + device +
                           ": Permission denied\n" + c.hint + rule_hint +
                           "navbeacon: the supported receiver is at "
                           "/dev/ttyACM3\n");
  }
}

TEST(AsciiToInt, ReadsLikeAtoiWithoutOverflowing) {
  const std::pair<const char*, int32_t> cases[] = {
      {"9600", 9600}, {"  -12abc", -12}, {"+7", 7}, {"fast", 0}, {"", 0},
      {"- 5", 0}, {"99999999999999999999", INT32_MAX},
      {"-99999999999999999999", INT32_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(AsciiToInt(text), value) << text;
}

}  // namespace
