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

const std::pair<uint32_t, uint32_t> kUblox5 = {0x1546, 0x01A5};

Captured RunWith(FakeServices& services, const CommandArgs& args) {
  return Capture([&] { return RunPositionUpdate(args, services); });
}

// A position was found: what the map application's answer makes of it.
TEST(PositionRun, EachEndOfTheGotoHasItsStatusAndWords) {
  using enum GotoOutcome;
  const ExitStatus failed = ExitStatus::kMapExchangeFailed;
  const std::tuple<GotoOutcome, Exchange, int32_t, ExitStatus, std::string> cases[] = {
      {kSent, Exchange::kOk, 0, ExitStatus::kMapCentred, ""},
      {kInterrupted, Exchange::kInterrupted, 0, ExitStatus::kInterrupted, ""},
      {kFailed, Exchange::kOk, 10, failed, "error 10"},
      {kFailed, Exchange::kTimedOut, 0, failed, "did not reply within 10 s"},
      {kFailed, Exchange::kClosed, 0, failed, "closed the connection"},
      {kFailed, Exchange::kMalformed, 0, failed, "malformed reply"},
  };
  for (const auto& [outcome, exchange, result1, status, why] : cases) {
    SCOPED_TRACE(why);
    FakeServices services;
    services.attached = {kUblox5};
    services.snapshot = "\x1b[2J\x01" + kMunichRmc;
    services.goto_outcome = outcome;
    services.exchange = exchange;
    services.result1 = result1;
    Captured run = RunWith(services, {"/dev/gps", "0", "9600", nullptr, true, true});
    EXPECT_EQ(run.status, status);
    // VERBOSE shows the text with the terminal's control bytes escaped.
    EXPECT_EQ(run.out, "\\x1B[2J\\x01" + kMunichRmc +
                           "\nlatitude = 48.1173, longitude = 11.5167\n");
    EXPECT_EQ(run.err.empty(), why.empty());
    EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
    EXPECT_EQ(services.gotos, std::vector<std::string>{"goto 48.1173 11.516667 12"});
  }
}

// Explanations that turn on where the text came from or on why the port
// was not found (the rest is end to end), by their facts. Words from other
// programs (here gpsd's) can neither drive the terminal nor pass for
// navbeacon's lines.
TEST(PositionRun, TheSourceAndAMissingPortAreExplained) {
  RuntimeDir runtime;
  const std::string dir = runtime.path() + "/rexx";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0750), 0);
  struct Case {
    std::vector<std::string> facts;
    std::string text = kMunichRmc, problem = "";
    PortAbsence absence = PortAbsence::kMissing;
    bool on_bus = true, via_gpsd = false;
    const char* off_bus = nullptr;
    const char* device = "/x";
  };
  const Case cases[] = {
      {{"navbeacon: gpsd answered: \\x1B]0;pwned\\x07\\x1B[2J\\x0D\\x0Anavbeacon: \\xC3\\xA9\\x09.\n"}, "",
       "gpsd answered: \x1b]0;pwned\x07\x1b[2J\r\nnavbeacon: \xc3\xa9\t."},
      {{"2 bytes arrived from /x", "BAUDRATE was 9600"}, "\xf0\x0f"},
      {{"nothing arrived from /x in 2 s", "no program wrote to it"}, "", "", {}, false},
      // A tty off the USB bus is read with no receiver check, as a line.
      {{"/dev/null is not on the USB bus (a serial port of the board)", "BAUDRATE was"}, "\xf0\x0f",
       "", {}, false, false, "a serial port of the board", "/dev/null"},
      {{"gpsd holds /x", "gpsd relayed no sentence from /x", "gpspipe -r"}, "", "", {}, true, true},
      {{"KARTOVELL.1 in " + dir, "navbeacon-maphost"}},
      {{"KARTOVELL.1 in " + dir, "left by one that has ended"}, kMunichRmc, "", PortAbsence::kStale},
      {{dir + " has mode 0750", "chmod 700 " + dir}, kMunichRmc, "", PortAbsence::kUnsafeDirectory},
      {{"KARTOVELL.1 in " + dir, "another user"}, kMunichRmc, "", PortAbsence::kOtherUser}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.facts[0]);
    FakeServices services;
    services.attached = {kUblox5};
    services.on_bus = c.on_bus;
    services.off_bus = c.off_bus;
    services.snapshot = c.text;
    snprintf(services.report.path, sizeof services.report.path, "/x");
    snprintf(services.report.problem, sizeof services.report.problem, "%s", c.problem.c_str());
    services.goto_outcome = GotoOutcome::kNoPort;
    services.absence = c.absence;
    services.report.via_gpsd = c.via_gpsd;
    Captured run = RunWith(services, {c.device, "0", "9600", nullptr, false, false});
    EXPECT_EQ(run.status, c.text == kMunichRmc ? ExitStatus::kNoMapPort : ExitStatus::kDamagedData);
    for (const std::string& fact : c.facts) EXPECT_NE(run.err.find(fact), std::string::npos) << run.err;
    EXPECT_EQ(services.searches.empty(), !c.on_bus);
  }
}

TEST(PositionRun, TheReceiversAreLookedForInTheirOrderAndNoDeviceIsTouched) {
  FakeServices services;
  services.attached = {{0x1546, 0x01A4}, {0x2303, 0x067B}};  // near misses
  services.snapshot = kMunichRmc;
  services.usb_error = ENOMEM;
  Captured run = RunWith(services, {"ttyNAVB", "3", "9600", nullptr, false, false});
  EXPECT_EQ(run.status, ExitStatus::kNoReceiver);
  EXPECT_EQ(run.out, "No supported gps hardware found!\n");
  for (const char* fact : {"USB bus: Cannot allocate memory", "/dev/ttyNAVB3", "not exist"}) {
    EXPECT_NE(run.err.find(fact), std::string::npos) << fact;
  }
  EXPECT_EQ(services.device, "");
  EXPECT_EQ(services.searches,
            (std::vector<FakeServices::Ids>{
                kUblox5, {0x067B, 0x2303}, {0x1546, 0x01A6}, {0x1546, 0x01A7},
                {0x1546, 0x01A8}, {0x1546, 0x01A9}, {0x067B, 0x23A3}, {0x067B, 0x23B3},
                {0x067B, 0x23C3}, {0x067B, 0x23D3}, {0x067B, 0x23E3}, {0x067B, 0x23F3},
                {0x10C4, 0xEA60}, {0x1A86, 0x7523}, {0x0403, 0x6001}, {0x0403, 0x6015}}));
  services.usb_error = 0;
  // Each receiver named with its ids, a kind's products together.
  const std::string err = RunWith(services, {"/tmp", "0", "9600", nullptr, false, false}).err;
  for (const char* fact : {"lsusb", "u-blox 5 (1546:01a5)", "(067b:23a3, 23b3, 23c3, 23d3, 23e3, 23f3)",
                           "(0403:6015)", "/tmp is a directory"}) {
    EXPECT_NE(err.find(fact), std::string::npos) << fact;
  }
  // The others are not looked for once one is found.
  services.attached = {kUblox5, {0x067B, 0x2303}};
  services.searches.clear();
  RunWith(services, {"/dev/gps", "0", "9600", nullptr, false, false});
  EXPECT_EQ(services.searches, std::vector<FakeServices::Ids>{kUblox5});
}

TEST(PositionRun, ArgumentsReachTheDeviceAndTheMap) {
  FakeServices services;
  services.attached = {{0x067B, 0x2303}};
  services.snapshot = FrameNmeaSentence("GPRMC,1,A,0000.000,S,00000.000,W,,,,,");
  const int32_t zoom = -3;
  Captured run = RunWith(services, {" ttyUSB", " +3x", "4800 baud", &zoom, false, true});
  EXPECT_EQ(run.status, ExitStatus::kMapCentred);
  EXPECT_EQ(run.out, "latitude = 0, longitude = 0\n");
  // UNIT and BAUDRATE are read as atoi reads them.
  EXPECT_EQ(services.device, " ttyUSB");
  EXPECT_EQ(services.unit, 3);
  EXPECT_EQ(services.baud, 4800u);
  EXPECT_EQ(services.gotos, std::vector<std::string>{"goto 0 0 -3"});
}

// The group is named only when it may read and write the device.
TEST(PositionRun, ADeviceThatCannotBeOpenedIsExplained) {
  TempDir dir;
  const std::string device = dir.File("ttyACM0");
  WriteWholeFile(device, "");
  const group* dialout = getgrgid(20);
  if (dialout == nullptr || chown(device.c_str(), geteuid(), 20) != 0) {
    NAVBEACON_SKIP("NOTICE: cannot give a file to the group dialout");
  }
  const std::string group = dialout->gr_name, user = getpwuid(geteuid())->pw_name;
  for (const auto& [mode, hint] : {
           std::pair<mode_t, std::string>{0660, "the group " + group + "; join it with "
                                                "'sudo usermod -aG " + group + " $USER'"},
           {0640, user + ":" + group + " with mode 0640"}}) {
    chmod(device.c_str(), mode);
    FakeServices services;
    services.attached = {kUblox5};
    services.report = {WindowEnd::kOpenFailed, -EACCES};
    snprintf(services.report.path, sizeof services.report.path, "%s", device.c_str());
    services.tty = "/dev/ttyACM3";
    Captured run = RunWith(services, {device.c_str(), "0", "9600", nullptr, false, false});
    EXPECT_EQ(run.status, ExitStatus::kDamagedData);
    EXPECT_EQ(run.out, kDamaged);
    for (const std::string& fact : {device + ": Permission denied", "belongs to " + hint,
                                    std::string("supported receiver is at /dev/ttyACM3")}) {
      EXPECT_NE(run.err.find(fact), std::string::npos) << run.err;
    }
    EXPECT_EQ(run.err.find("udev rule") == std::string::npos, UdevRuleInstalled());
  }
}

// The run's own services bound the exchange: a map application that takes
// the goto and never replies gives status 5 (here after a shortened bound).
TEST(PositionRun, TheRunGivesUpOnAMapApplicationThatNeverReplies) {
  RuntimeDir dir;
  WriteWholeFile(dir.File("log"), kMunichRmc);
  auto host = StartMapHost(dir.path(), {"--no-reply"});
  LinuxRunServices services(300);
  alarm(30);  // a lost bound fails here instead of hanging the suite
  EXPECT_EQ(RunPositionUpdate({dir.File("log").c_str(), "0", "9600", nullptr, false, false},
                              services), ExitStatus::kMapExchangeFailed);
  alarm(0);
  EXPECT_TRUE(host->WaitForOutput("goto 48.1173 11.516667 12"));
}

TEST(AsciiToInt, ReadsLikeAtoiWithoutOverflowing) {
  const std::pair<const char*, int32_t> cases[] = {
      {"9600", 9600}, {"  -12abc", -12}, {"+7", 7}, {"fast", 0}, {"", 0},
      {"- 5", 0}, {"99999999999999999999", INT32_MAX},
      {"-99999999999999999999", INT32_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(AsciiToInt(text), value) << text;
}

}  // namespace
