// The real binary, run as a user would: a pseudo-terminal or file as the
// device, umockdev's preload for USB, the stand-in map application as the
// host, each case in its own runtime directory.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"
#include "tests/usb_bus.h"

namespace {

constexpr char kMunich[] =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
constexpr char kGga[] =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
constexpr char kNoMapPort[] =
    "No ARexx Port found!\nYou must start Kartovell first.\n";
constexpr char kDamaged[] = "GPS Reciver recive damaged data!\n";

class EndToEnd : public testing::Test {
 protected:
  void Attach(const char* description) {
    ASSERT_EQ(bus_.Attach(description), "");
  }

  std::vector<std::string> Env() const { return UsbBus::Env(runtime_.path()); }

  // Starts navbeacon with these arguments.
  std::unique_ptr<Child> Start(std::vector<std::string> args,
                               const std::string& stdin_text = "") {
    args.insert(args.begin(), NAVBEACON_BINARY);
    return std::make_unique<Child>(args, Env(), stdin_text);
  }

  std::string Log(const std::string& text) {
    const std::string path = files_.File("log" + std::to_string(logs_++));
    WriteWholeFile(path, text);
    return path;
  }

  TempDir runtime_;
  TempDir files_;
  int logs_ = 0;
  UsbBus bus_;
};

TEST_F(EndToEnd, WrongArguments) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"dev", "0"}, {"dev", "0", "1", "ZOOM=x"}}) {
    auto run = Start(args);
    EXPECT_EQ(run->Wait(), 2);
    EXPECT_EQ(run->Stdout(), "Wrong argument(s)!\n");
    EXPECT_EQ(run->Stderr(), "");
  }
}

TEST_F(EndToEnd, NoSupportedReceiver) {
  Attach("keyboard");
  Attach("ublox-other-product");
  auto run = Start({Log(kMunich), "0", "9600"});
  EXPECT_EQ(run->Wait(), 1);
  EXPECT_EQ(run->Stdout(), "No supported gps hardware found!\n");
}

TEST_F(EndToEnd, TheMapIsCentred) {
  Attach("pl2303");
  MapHost host(runtime_.path());
  auto run = Start({Log(std::string(kGga) + kMunich), "0", "9600", "ZOOM",
                    "14", "VERBOSE", "POSITION"});
  EXPECT_EQ(run->Wait(), 0);
  EXPECT_EQ(run->Stdout(), std::string(kGga) + kMunich + "\n" +
                               "latitude = 48.1173, longitude = 11.5167\n");
  EXPECT_EQ(run->Stderr(), "");
  EXPECT_TRUE(host.child().WaitForOutput("] goto 48.1173 11.5167 14\n"));
}

TEST_F(EndToEnd, ThePromptReadsTheLineFromStandardInput) {
  Attach("ublox");
  MapHost host(runtime_.path());
  auto run = Start({"?"}, Log(kMunich) + " 0 4800 POSITION\n");
  EXPECT_EQ(run->Wait(), 0);
  EXPECT_EQ(run->Stdout(),
            "DEVICE/A,UNIT/A,BAUDRATE/A,ZOOM/N,VERBOSE/S,POSITION/S: "
            "latitude = 48.1173, longitude = 11.5167\n");
  EXPECT_TRUE(host.child().WaitForOutput("] goto 48.1173 11.5167 12\n"));
}

TEST_F(EndToEnd, DamagedData) {
  Attach("ublox");
  MapHost host(runtime_.path());
  auto run = Start({Log(kGga), "0", "9600", "VERBOSE", "POSITION"});
  EXPECT_EQ(run->Wait(), 3);
  EXPECT_EQ(run->Stdout(), std::string(kGga) + "\n" +
                               "latitude = 0, longitude = 0\n" + kDamaged);
  EXPECT_EQ(host.child().Stdout().find("goto"), std::string::npos);
}

TEST_F(EndToEnd, ADeviceThatCannotBeOpenedIsNamedAndTheReceiverFound) {
  Attach("ublox");
  auto run = Start({"/dev/navbeacon-no-tty", "0", "9600", "VERBOSE"});
  EXPECT_EQ(run->Wait(), 3);
  EXPECT_EQ(run->Stdout(), std::string("\n") + kDamaged);
  EXPECT_EQ(run->Stderr(),
            "navbeacon: cannot open /dev/navbeacon-no-tty0: No such file or "
            "directory\n"
            "navbeacon: the supported receiver is at /dev/ttyACM0\n");
}

TEST_F(EndToEnd, TheMapApplicationIsNotRunning) {
  Attach("ublox");
  auto run = Start({Log(kMunich), "0", "9600"});
  EXPECT_EQ(run->Wait(), 4);
  EXPECT_EQ(run->Stdout(), kNoMapPort);
}

TEST_F(EndToEnd, TheMapApplicationRepliesWithAnError) {
  Attach("ublox");
  MapHost host(runtime_.path(), {"--error", "10"});
  auto run = Start({Log(kMunich), "0", "9600", "POSITION"});
  EXPECT_EQ(run->Wait(), 5);
  EXPECT_EQ(run->Stdout(), "latitude = 48.1173, longitude = 11.5167\n");
}

TEST_F(EndToEnd, TheMapApplicationVanishesMidExchange) {
  Attach("ublox");
  MapHost host(runtime_.path(), {"--no-reply", "--count", "1"});
  auto run = Start({Log(kMunich), "0", "9600"});
  EXPECT_EQ(run->Wait(), 5);
  EXPECT_EQ(run->Stdout(), "");
}

// Ctrl-C ends every wait at once. (How fast is measured by `make bench`;
// here the bound only tells a prompt end from a wait running its course.)
void ExpectBreak(Child& run, int64_t interrupted_at) {
  EXPECT_EQ(run.Wait(), 20);
  EXPECT_LT(MonotonicMs() - interrupted_at, 1000);
  EXPECT_EQ(run.Stderr(), "***Break\n");
}

TEST_F(EndToEnd, CtrlCInTheSerialWindow) {
  Attach("ublox");
  Pty pty;  // a receiver that sends nothing
  auto run = Start({pty.device(), "0", "9600", "POSITION"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int64_t now = MonotonicMs();
  run->Signal(SIGINT);
  ExpectBreak(*run, now);
  EXPECT_EQ(run->Stdout(), "");
}

TEST_F(EndToEnd, CtrlCWhileWaitingForTheReply) {
  Attach("ublox");
  MapHost host(runtime_.path(), {"--no-reply"});
  auto run = Start({Log(kMunich), "0", "9600", "POSITION"});
  ASSERT_TRUE(host.child().WaitForOutput("goto 48.1173 11.5167 12"));
  const int64_t now = MonotonicMs();
  run->Signal(SIGINT);
  ExpectBreak(*run, now);
  EXPECT_EQ(run->Stdout(), "latitude = 48.1173, longitude = 11.5167\n");
  // Nothing left behind: the port directory holds the host's port alone.
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(runtime_.path() + "/rexx")) {
    names.push_back(entry.path().filename());
  }
  EXPECT_EQ(names, std::vector<std::string>{"KARTOVELL.1"});
}

TEST_F(EndToEnd, ASmallStackLimitIsNoObstacle) {
  Attach("ublox");
  MapHost host(runtime_.path());
  Child run({"/bin/sh", "-c", "ulimit -s 1024 && exec \"$0\" \"$@\"",
             NAVBEACON_BINARY, Log(kMunich), "0", "9600", "POSITION"},
            Env());
  EXPECT_EQ(run.Wait(), 0) << run.Stderr();
  EXPECT_EQ(run.Stdout(), "latitude = 48.1173, longitude = 11.5167\n");
}

TEST_F(EndToEnd, WithoutTheUsbStackLibraryTheProgramDoesNotStart) {
  std::vector<std::string> env = Env();
  env.push_back("LD_LIBRARY_PATH=" FAKE_UDEV_DIR);
  Child run({NAVBEACON_BINARY, Log(kMunich), "0", "9600"}, env);
  EXPECT_EQ(run.Wait(), 20);
  EXPECT_EQ(run.Stdout(), "");
  EXPECT_EQ(run.Stderr(), "startup message: Need version 0 of libudev.so.1\n");
}

TEST_F(EndToEnd, RealReceiverCapturesAsDeviceFiles) {
  const std::string dir = SharedNmeaDir();
  if (dir.empty()) {
    GTEST_SKIP() << "NOTICE: ../shared/nmea is absent; the receiver captures "
                    "are not run";
  }
  Attach("ublox");
  MapHost host(runtime_.path());
  for (const ExpectedCapture& capture : ReadExpectedCaptures(dir)) {
    SCOPED_TRACE(capture.name);
    auto run = Start({dir + "/" + capture.name + ".nmea", "0", "4800"});
    if (capture.goto_first == "none") {
      EXPECT_EQ(run->Wait(), 3);
      EXPECT_EQ(run->Stdout(), kDamaged);
    } else {
      EXPECT_EQ(run->Wait(), 0);
      EXPECT_EQ(run->Stdout(), "");
      EXPECT_TRUE(host.child().WaitForOutput("] " + capture.goto_first + "\n"));
    }
  }
}

}  // namespace
