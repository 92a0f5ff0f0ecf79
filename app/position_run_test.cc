#include "app/position_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "gps/nmea.h"
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

// What the run tells the explanations of where the text came from: a
// line's speed is blamed only for a tty, gpsd only for gpsd, and a device
// that cannot be opened is not read. (The explanations' own facts:
// explanations_test.cc.)
TEST(PositionRun, TheSourceDecidesWhatIsBlamed) {
  struct Case {
    std::vector<std::string> facts;
    bool on_bus = true, via_gpsd = false;
    const char* off_bus = nullptr;  // the device is then /dev/null
    int error = 0;                  // of an open that failed
  };
  const Case cases[] = {
      {{"2 bytes arrived from /x", "BAUDRATE was 9600"}},
      {{"no NMEA sentence was found in the 2 bytes read from /x"}, false},
      // A tty off the USB bus is read with no receiver check, as a line.
      {{"/dev/null is not on the USB bus (a UART)", "BAUDRATE was"}, false, false, "a UART"},
      {{"USB bus (a pipe, not a tty)", "-BAUDRATE"}, false, false, "a pipe, not a tty"},
      {{"gpsd holds /x", "gpsd relayed no sentence from /x"}, true, true},
      {{"cannot open /x: Permission denied", "receiver is at /dev/ttyACM3", "-nothing arrived"},
       true, false, nullptr, -EACCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.facts[0]);
    FakeServices services;
    services.attached = {kUblox5};
    services.tty = "/dev/ttyACM3";
    services.on_bus = c.on_bus;
    services.off_bus = c.off_bus;
    services.snapshot = c.via_gpsd || c.error != 0 ? "" : "\xf0\x0f";
    services.report = {c.error != 0 ? WindowEnd::kOpenFailed : WindowEnd::kTimeout, c.error, "/x"};
    services.report.via_gpsd = c.via_gpsd;
    Captured run = RunWith(services, {c.off_bus ? "/dev/null" : "/x", "0", "9600"});
    EXPECT_EQ(run.status, ExitStatus::kDamagedData);
    EXPECT_EQ(run.out, kDamaged);
    ExpectFacts(run.err, c.facts);
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
  EXPECT_NE(run.err.find("Cannot allocate memory"), std::string::npos) << run.err;
  EXPECT_EQ(services.device, "");
  EXPECT_EQ(services.searches,
            (std::vector<FakeServices::Ids>{
                kUblox5, {0x067B, 0x2303}, {0x1546, 0x01A6}, {0x1546, 0x01A7},
                {0x1546, 0x01A8}, {0x1546, 0x01A9}, {0x067B, 0x23A3}, {0x067B, 0x23B3},
                {0x067B, 0x23C3}, {0x067B, 0x23D3}, {0x067B, 0x23E3}, {0x067B, 0x23F3},
                {0x10C4, 0xEA60}, {0x1A86, 0x7523}, {0x0403, 0x6001}, {0x0403, 0x6015}}));
  services.usb_error = 0;
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
  EXPECT_EQ(services.device + std::to_string(services.unit) + "/" + std::to_string(services.baud),
            " ttyUSB3/4800");
  EXPECT_EQ(services.gotos, std::vector<std::string>{"goto 0 0 -3"});
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
