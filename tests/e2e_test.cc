// The real binary, run as a user would: a pseudo-terminal or file as the
// device, umockdev's preload for USB, the stand-in map application as the
// host, each case in its own runtime directory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <filesystem>
#include <stdexcept>
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

// A simulated receiver on a pseudo-terminal; its device's path.
struct Receiver {
  Child process;
  std::string device;
  explicit Receiver(std::vector<std::string> options)
      : process([&] {
          options.insert(options.begin(), GPSSIM_BINARY);
          return options;
        }()) {
    if (!process.WaitForOutput("\n")) throw std::runtime_error("gpssim");
    device = process.Stdout().substr(0, process.Stdout().find('\n'));
  }
};

// The captures of 17 real receivers, replayed through a tty: each run
// reads from the capture's start and centres the map on its first fix.
TEST_F(EndToEnd, RealReceiverCapturesThroughATty) {
  const std::string dir = SharedNmeaDir();
  if (dir.empty()) {
    NAVBEACON_SKIP("NOTICE: ../shared/nmea is absent; the receiver captures "
                    "are not run");
  }
  Attach("ublox");
  MapHost host(runtime_.path());
  for (const ExpectedCapture& capture : ReadExpectedCaptures(dir)) {
    SCOPED_TRACE(capture.name);
    Receiver receiver({"--replay", dir + "/" + capture.name + ".nmea", "--baud",
                       "115200", "--period", "50"});
    auto run = Start({receiver.device, "0", "115200"});
    const bool none = capture.goto_first_rmc == "none";
    EXPECT_EQ(run->Wait(), none ? 3 : 0) << run->Stderr();
    EXPECT_EQ(run->Stdout(), none ? kDamaged : "");
    if (!none) {
      EXPECT_TRUE(
          host.child().WaitForOutput("] " + capture.goto_first_rmc + "\n"));
    }
  }
}

// gpsd holds the receiver's tty: the text comes through it, whether DEVICE
// names the tty or gpsd itself. A u-blox 7 dongle is on the bus.
TEST_F(EndToEnd, ThroughARealGpsd) {
  Attach("ublox7");
  MapHost host(runtime_.path());
  Receiver receiver({"--start", "-33.8568,151.2153"});
  TempDir gpsd_dir;
  Child gpsd({"/usr/sbin/gpsd", "-N", "-n", "-b", "-S", "2947", "-F",
              gpsd_dir.File("control"), receiver.device});
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(2947);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (const int64_t deadline = MonotonicMs() + 5000;
       MonotonicMs() < deadline; usleep(20000)) {
    ScopedFd probe(socket(AF_INET, SOCK_STREAM, 0));
    if (connect(probe.get(), reinterpret_cast<sockaddr*>(&address),
                sizeof address) == 0) {
      break;
    }
  }
  for (const std::string& device :
       {receiver.device, std::string("gpsd://localhost:2947")}) {
    SCOPED_TRACE(device);
    auto run = Start({device, "0", "9600", "POSITION"});
    EXPECT_EQ(run->Wait(), 0) << run->Stderr();
    EXPECT_EQ(run->Stdout().substr(0, 17), "latitude = -33.85");
    EXPECT_EQ(run->Stderr(),
              device == receiver.device
                  ? "navbeacon: gpsd holds " + device +
                        "; the receiver's text came through gpsd\n"
                  : "");
  }
  EXPECT_TRUE(host.child().WaitForOutput("] goto -33.85"));
  gpsd.Signal(SIGTERM);
  EXPECT_EQ(gpsd.Wait(), 0);
}

// A peer on gpsd's port that does not behave: a clear word, status 3.
TEST_F(EndToEnd, AGpsdThatDoesNotBehave) {
  struct Peer {
    std::string says;
    bool hangs_up;
    std::string explanation;
  };
  const Peer peers[] = {
      {"hello\n", false, "gpsd sent a line that is neither JSON nor NMEA"},
      {"{\"class\":\"ERROR\",\"message\":\"Unrecognized request\"}\r\n",
       false, "gpsd answered: Unrecognized request"},
      {std::string(20000, 'x'), false,
       "gpsd sent a line longer than 16384 bytes"},
      {"{\"class\":\"VERSION\"}\r\n", true, "gpsd closed the connection"},
  };
  for (const auto& [says, hangs_up, explanation] : peers) {
    SCOPED_TRACE(explanation);
    ScopedFd listener(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
    std::thread peer([&] {
      ScopedFd client(accept(listener.get(), nullptr, nullptr));
      EXPECT_EQ(send(client.get(), says.data(), says.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(says.size()));
      char drain[256];
      while (!hangs_up && recv(client.get(), drain, sizeof drain, 0) > 0) {
      }
    });
    auto run = Start({"gpsd://127.0.0.1:" + std::to_string(ntohs(address.sin_port)),
                      "0", "0"});
    EXPECT_EQ(run->Wait(), 3);
    EXPECT_EQ(run->Stdout(), kDamaged);
    EXPECT_EQ(run->Stderr(), "navbeacon: " + explanation + "\n");
    peer.join();
  }
}

// --open shows the goto in the desktop's map when one handles geo: links,
// in the browser otherwise; stand-ins for xdg-mime and xdg-open record it.
TEST_F(EndToEnd, TheMapHostOpensTheDesktopsMap) {
  TempDir bin;
  for (const std::string& handler : {std::string("org.gnome.Maps.desktop"), std::string()}) {
    SCOPED_TRACE(handler);
    WriteWholeFile(bin.File("xdg-mime"), "#!/bin/sh\necho '" + handler + "'\n");
    WriteWholeFile(bin.File("xdg-open"),
                   "#!/bin/sh\necho \"$1\" >>'" + bin.File("opened") + "'\n");
    chmod(bin.File("xdg-mime").c_str(), 0755);
    chmod(bin.File("xdg-open").c_str(), 0755);
    unlink(bin.File("opened").c_str());
    Child host({MAPHOST_BINARY, "--open", "--count", "1"},
               {"XDG_RUNTIME_DIR=" + runtime_.path(),
                "PATH=" + bin.path() + ":/usr/bin:/bin"});
    ASSERT_TRUE(host.WaitForOutput(" open at "));
    Child run({NAVBEACON_BINARY, Log(kMunich), "0", "9600"},
              {"XDG_RUNTIME_DIR=" + runtime_.path()});
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_EQ(host.Wait(), 0);
    EXPECT_EQ(ReadWholeFile(bin.File("opened")),
              handler.empty()
                  ? "https://www.openstreetmap.org/?mlat=48.117300&"
                    "mlon=11.516667#map=12/48.117300/11.516667\n"
                  : "geo:48.117300,11.516667?z=12\n");
  }
}

}  // namespace
