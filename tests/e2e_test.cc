// The real binary, run as a user would: a pseudo-terminal or file as the
// device, umockdev's preload for USB, the stand-in map application as the
// host, each case in its own runtime directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/scoped_fd.h"
#include "tests/frozen_host.h"
#include "tests/test_support.h"
#include "tests/usb_bus.h"

namespace {

const std::string kMunich =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
const std::string kGga =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string kPosition = "latitude = 48.1173, longitude = 11.5167\n";
constexpr char kNoMapPort[] =
    "No ARexx Port found!\nYou must start Kartovell first.\n";
constexpr char kDamaged[] = "GPS Reciver recive damaged data!\n";
constexpr char kUsage[] =
    "navbeacon: usage: navbeacon DEVICE UNIT BAUDRATE [ZOOM n] [VERBOSE] "
    "[POSITION]\nnavbeacon: see navbeacon --help\n";

class EndToEnd : public testing::Test {
 protected:
  void Attach(const char* description) {
    ASSERT_EQ(bus_.Attach(description), "");
  }

  std::vector<std::string> Env() const { return UsbBus::Env(runtime_.path()); }

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

struct Outcome {
  const char* what;
  std::vector<std::string> host;  // the map host's options; none: no host
  std::string log;                // the device's text
  std::vector<std::string> extra;  // arguments after DEVICE 0 9600
  int status;
  std::string out, err;
  std::string goto_line;  // what the host must have received
  std::string redirect = "";
};

// Recordings need no receiver on the bus, nor umockdev's preload.
TEST_F(EndToEnd, EachOutcomeWithItsStatusAndWords) {
  const Outcome outcomes[] = {
      {"centred", {""}, kGga + kMunich, {"ZOOM", "14", "VERBOSE", "POSITION"},
       0, kGga + kMunich + "\n" + kPosition, "", "] goto 48.1173 11.516667 14\n"},
      {"no position", {""}, kGga, {"POSITION"}, 3,
       std::string("latitude = 0, longitude = 0\n") + kDamaged,
       "navbeacon: NMEA arrived but no RMC sentence (only GPGGA); the "
       "receiver may need RMC output switched on\n", ""},
      {"no map application", {}, kMunich, {}, 4, kNoMapPort, "", ""},
      {"an error reply", {"--error", "10"}, kMunich, {}, 5, "",
       "navbeacon: the map application replied with error 10\n", ""},
      {"the host vanishes", {"--no-reply", "--count", "1"}, kMunich, {}, 5, "",
       "navbeacon: the map application closed the connection without "
       "replying\n", ""},
      {"standard output lost", {""}, kMunich, {"POSITION"}, 6, "",
       "navbeacon: standard output could not be written: No space left on "
       "device\n",
       "] goto 48.1173 11.516667 12\n", ">/dev/full"},
      {"standard descriptors closed", {""}, kMunich, {"VERBOSE"}, 0, "", "",
       "] goto 48.1173 11.516667 12\n", "<&- >&-"},
  };
  for (const Outcome& o : outcomes) {
    SCOPED_TRACE(o.what);
    std::optional<MapHost> host;
    if (!o.host.empty()) {
      std::vector<std::string> options = o.host;
      if (options[0].empty()) options.clear();
      host.emplace(runtime_.path(), options);
    }
    std::vector<std::string> args = {Log(o.log), "0", "9600"};
    args.insert(args.end(), o.extra.begin(), o.extra.end());
    args.insert(args.begin(), NAVBEACON_BINARY);
    if (!o.redirect.empty()) {
      args.insert(args.begin(),
                  {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + o.redirect});
    }
    Child run(args, {"XDG_RUNTIME_DIR=" + runtime_.path()});
    EXPECT_EQ(run.Wait(), o.status);
    EXPECT_EQ(run.Stdout(), o.out);
    EXPECT_EQ(run.Stderr(), o.err);
    if (!o.goto_line.empty()) {
      EXPECT_TRUE(host->child().WaitForOutput(o.goto_line));
    }
  }
}

TEST_F(EndToEnd, ArgumentsAndStartUp) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"dev", "0"}, {"dev", "0", "1", "ZOOM=x"}}) {
    auto run = Start(args);
    EXPECT_EQ(run->Wait(), 2);
    EXPECT_EQ(run->Stdout(), "Wrong argument(s)!\n");
    EXPECT_EQ(run->Stderr(), kUsage);
  }
  Attach("ublox");
  MapHost host(runtime_.path());
  auto prompt = Start({"?"}, Log(kMunich) + " 0 4800 POSITION\n");
  EXPECT_EQ(prompt->Wait(), 0);
  EXPECT_EQ(prompt->Stdout(),
            "DEVICE/A,UNIT/A,BAUDRATE/A,ZOOM/N,VERBOSE/S,POSITION/S: " +
                kPosition);

  Child small({"/bin/sh", "-c", "ulimit -s 1024 && exec \"$0\" \"$@\"",
               NAVBEACON_BINARY, Log(kMunich), "0", "9600", "POSITION"},
              Env());
  EXPECT_EQ(small.Wait(), 0) << small.Stderr();
  EXPECT_EQ(small.Stdout(), kPosition);

  std::vector<std::string> env = Env();
  env.push_back("LD_LIBRARY_PATH=" FAKE_UDEV_DIR);
  Child no_udev({NAVBEACON_BINARY, Log(kMunich), "0", "9600"}, env);
  EXPECT_EQ(no_udev.Wait(), 20);
  EXPECT_EQ(no_udev.Stdout(), "");
  EXPECT_EQ(no_udev.Stderr(),
            "startup message: Need version 0 of libudev.so.1\n"
            "navbeacon: cannot load libudev.so.1: libudev.so.1 has no "
            "function udev_new\n");
}

TEST_F(EndToEnd, NoReceiverOrNoDevice) {
  Attach("keyboard");
  Attach("ublox-other-product");
  Pty pty;
  auto none = Start({pty.device(), "0", "9600"});
  EXPECT_EQ(none->Wait(), 1);
  EXPECT_EQ(none->Stdout(), "No supported gps hardware found!\n");

  Attach("ublox");
  auto missing = Start({"/dev/navbeacon-no-tty", "0", "9600", "VERBOSE"});
  EXPECT_EQ(missing->Wait(), 3);
  EXPECT_EQ(missing->Stdout(), std::string("\n") + kDamaged);
  EXPECT_EQ(missing->Stderr(),
            "navbeacon: cannot open /dev/navbeacon-no-tty0: No such file or "
            "directory\n"
            "navbeacon: the supported receiver is at /dev/ttyACM0\n");
}

TEST_F(EndToEnd, ATtyThatSendsNothingOrNoise) {
  Attach("ublox");
  Pty silent;
  // Another program holds the device, as gpsd would.
  Child holder({"/bin/sh", "-c", "exec sleep 5 <\"$0\"", silent.device()});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto run = Start({silent.device(), "0", "9600"});
  EXPECT_EQ(run->Wait(), 3);
  EXPECT_EQ(run->Stderr(), "navbeacon: nothing arrived from " +
                               silent.device() + " in 2 s; sleep (pid " +
                               std::to_string(holder.pid()) +
                               ") has it open and may be taking the text\n");

  // A receiver at 4800 baud read at 9600: bytes, but no sentence.
  Pty noisy;
  auto wrong = Start({noisy.device(), "0", "9600"});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  noisy.Write("\xe6\x9e\x98\x86\xfe\x18\x9e\xe0\x98\x66\xf8\x80\x1e");
  EXPECT_EQ(wrong->Wait(), 3);
  EXPECT_EQ(wrong->Stderr(),
            "navbeacon: 13 bytes arrived from " + noisy.device() +
                " but no NMEA sentence; is the speed right? BAUDRATE was "
                "9600; receivers commonly use 4800, 9600 or 38400\n");
}

// Ctrl-C ends every wait at once. (How fast is measured by `make bench`;
// here the bound only tells a prompt end from a wait running its course.)
void ExpectBreak(Child& run, const std::string& out) {
  const int64_t interrupted_at = MonotonicMs();
  run.Signal(SIGINT);
  EXPECT_EQ(run.Wait(), 20);
  EXPECT_LT(MonotonicMs() - interrupted_at, 1000);
  EXPECT_EQ(run.Stdout(), out);
  EXPECT_EQ(run.Stderr(), "***Break\n");
}

TEST_F(EndToEnd, CtrlCEndsEveryWait) {
  Attach("ublox");
  {
    SCOPED_TRACE("the window, on a terminal whose settings come back");
    Pty pty;  // a receiver that sends nothing
    ScopedFd held(open(pty.device().c_str(), O_RDWR | O_NOCTTY));
    termios cooked;
    tcgetattr(held.get(), &cooked);
    cooked.c_lflag |= ECHO | ICANON;
    tcsetattr(held.get(), TCSANOW, &cooked);
    auto run = Start({pty.device(), "0", "9600", "POSITION"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ExpectBreak(*run, "");
    termios after;
    tcgetattr(held.get(), &after);
    EXPECT_TRUE(after.c_lflag & ECHO);
    EXPECT_TRUE(after.c_lflag & ICANON);
  }
  {
    SCOPED_TRACE("a frozen map application, which is sent nothing");
    FrozenHost frozen(runtime_.path(), "KARTOVELL.1");
    auto run = Start({Log(kMunich), "0", "9600", "POSITION"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ExpectBreak(*run, kPosition);
    EXPECT_EQ(frozen.Received(), "");
  }
  {
    SCOPED_TRACE("the reply");
    MapHost host(runtime_.path(), {"--no-reply"});
    auto run = Start({Log(kMunich), "0", "9600", "POSITION"});
    ASSERT_TRUE(host.child().WaitForOutput("goto 48.1173 11.516667 12"));
    ExpectBreak(*run, kPosition);
    // Nothing left behind: the port directory holds the host's port alone.
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(runtime_.path() + "/rexx")) {
      names.push_back(entry.path().filename());
    }
    EXPECT_EQ(names, std::vector<std::string>{"KARTOVELL.1"});
  }
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
