// The real binaries, run as a user would: a pseudo-terminal, file or gpsd
// as the device, umockdev's preload for USB, the stand-in map application
// as the host, each case in its own runtime directory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gps/nmea.h"
#include "platform/scoped_fd.h"
#include "tests/raw_host.h"
#include "tests/test_support.h"
#include "tests/usb_bus.h"

namespace {

const std::string kMunich =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
const std::string kGga =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string kPosition = "latitude = 48.1173, longitude = 11.5167\n";
const std::string kDamaged = "GPS Reciver recive damaged data!\n";
const std::string kGoto = "] goto 48.1173 11.516667 12\n";

class EndToEnd : public testing::Test {
 protected:
  void Attach(const char* description) { ASSERT_EQ(bus_.Attach(description), ""); }

  // navbeacon with these arguments, seeing the simulated USB bus.
  std::unique_ptr<Child> Start(std::vector<std::string> args,
                               const std::string& stdin_text = "") {
    args.insert(args.begin(), NAVBEACON_BINARY);
    return std::make_unique<Child>(args, UsbBus::Env(runtime_.path()), stdin_text);
  }

  std::string Log(const std::string& text) {
    const std::string path = files_.File("log" + std::to_string(logs_++));
    WriteWholeFile(path, text);
    return path;
  }

  TempDir runtime_, files_;
  int logs_ = 0;
  UsbBus bus_;
};

// A simulated receiver on a pseudo-terminal, and its device's path.
struct Receiver {
  explicit Receiver(std::vector<std::string> options) {
    options.insert(options.begin(), GPSSIM_BINARY);
    process.emplace(options);
    if (!process->WaitForOutput("\n")) throw std::runtime_error("gpssim");
    device = process->Stdout().substr(0, process->Stdout().find('\n'));
  }
  std::optional<Child> process;
  std::string device;
};

// The binary's contract, case by case: a shell command that runs it ("$0")
// on a recording ("$1"), which needs no receiver on the bus nor umockdev's
// preload; the map application is running.
TEST_F(EndToEnd, EachOutcomeWithItsStatusAndWords) {
  std::string bad_rmc = kMunich;
  bad_rmc[bad_rmc.size() - 3] = '0';
  const std::string run = "exec \"$0\" \"$1\" 0 9600 ", usage =
      "navbeacon: usage: navbeacon DEVICE UNIT BAUDRATE [ZOOM n] [VERBOSE] [POSITION]\n"
      "navbeacon: see navbeacon --help\n";
  struct Outcome {
    std::string command, text;
    int status;
    std::string out, err;  // "@" in `err` stands for the recording's path
  };
  const Outcome outcomes[] = {
      {run + "ZOOM 12 VERBOSE POSITION", kGga + kMunich, 0, kGga + kMunich + "\n" + kPosition, ""},
      {run + "POSITION >/dev/full", kMunich, 6, "",
       "navbeacon: standard output could not be written: No space left on device\n"},
      {"cat \"$1\" | exec \"$0\" /dev/stdin 0 0 POSITION", kMunich, 0, kPosition, ""},
      {"ulimit -s 1024 && " + run + "POSITION", kMunich, 0, kPosition, ""},
      {"exec \"$0\"", "", 2, "Wrong argument(s)!\n", usage},
      {run + "ZOOM=x", "", 2, "Wrong argument(s)!\n", usage},
      {"exec \"$0\" gpsd:// 1 0", "", 2, "Wrong argument(s)!\n",
       "navbeacon: UNIT must be 0 when DEVICE names gpsd\n"},
      {run, "", 3, kDamaged, "navbeacon: nothing arrived from @ before its input ended\n"},
      {run, "\xf0\x0f\xaa\x55", 3, kDamaged,
       "navbeacon: 4 bytes arrived from @ but no NMEA sentence; is the speed right? "
       "BAUDRATE was 9600; receivers commonly use 4800, 9600 or 38400\n"},
      {run, kGga + FrameNmeaSentence("PGRMC,1") + kGga, 3, kDamaged,
       "navbeacon: NMEA arrived but no RMC sentence (only GPGGA PGRMC); the receiver "
       "may need RMC output switched on\n"},
      {run, kGga + FrameNmeaSentence("GNRMC,,V,,,,,,,,,,N"), 3, kDamaged,
       "navbeacon: the receiver has no fix yet (its RMC sentences say status V); "
       "give it a clear view of the sky and try again\n"},
      {run, kGga + bad_rmc, 3, kDamaged,
       "navbeacon: 1 RMC sentences failed their checksum: a noisy line or a wrong "
       "BAUDRATE\n"},
      {run, FrameNmeaSentence("GPRMC,1,A,4860.0,N,01131.0,E,,,,,"), 3, kDamaged,
       "navbeacon: the RMC sentences held malformed or out-of-range coordinates\n"},
  };
  MapHost host(runtime_.path());
  for (const Outcome& o : outcomes) {
    SCOPED_TRACE(o.command + " on " + o.text);
    const std::string log = Log(o.text);
    Child navbeacon({"/bin/sh", "-c", o.command, NAVBEACON_BINARY, log},
                    {"XDG_RUNTIME_DIR=" + runtime_.path()});
    EXPECT_EQ(navbeacon.Wait(), o.status);
    EXPECT_EQ(navbeacon.Stdout(), o.out);
    std::string err = o.err;
    if (size_t at = err.find('@'); at != std::string::npos) err.replace(at, 1, log);
    EXPECT_EQ(navbeacon.Stderr(), err);
  }
  // Four reached the map, the one whose output was lost among them.
  const std::string seen = host.child().Stdout();
  size_t gotos = 0;
  for (size_t at = seen.find(kGoto); at != std::string::npos; at = seen.find(kGoto, at + 1)) {
    ++gotos;
  }
  EXPECT_EQ(gotos, 4u);
}

TEST_F(EndToEnd, WithoutTheUsbStackLibraryNothingStarts) {
  Child no_udev({NAVBEACON_BINARY, Log(kMunich), "0", "9600"},
                {"LD_LIBRARY_PATH=" FAKE_UDEV_DIR});
  EXPECT_EQ(no_udev.Wait(), 20);
  EXPECT_EQ(no_udev.Stdout(), "");
  EXPECT_EQ(no_udev.Stderr(),
            "startup message: Need version 0 of libudev.so.1\n"
            "navbeacon: cannot load libudev.so.1: libudev.so.1 has no function udev_new\n");
  EXPECT_NE(ReadWholeFile(NAVBEACON_BINARY).find("$VER: 1.0 (25.06.16) navbeacon"),
            std::string::npos);
}

TEST_F(EndToEnd, ATtyThatSendsNothingOrNoise) {
  Attach("ublox");
  Pty silent;
  // Another program holds the device, as gpsd would.
  Child holder({"/bin/sh", "-c", "exec sleep 5 <\"$0\"", silent.device()});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto held = Start({silent.device(), "0", "9600"});
  EXPECT_EQ(held->Wait(), 3);
  EXPECT_EQ(held->Stderr(), "navbeacon: nothing arrived from " + silent.device() +
                                " in 2 s; sleep (pid " + std::to_string(holder.pid()) +
                                ") has it open and may be taking the text\n");

  // A receiver at 4800 baud read at 9600: bytes, but no sentence.
  Pty noisy;
  auto wrong = Start({noisy.device(), "0", "9600"});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  noisy.Write("\xe6\x9e\x98\x86\xfe\x18\x9e\xe0\x98\x66\xf8\x80\x1e");
  EXPECT_EQ(wrong->Wait(), 3);
  EXPECT_EQ(wrong->Stderr(), "navbeacon: 13 bytes arrived from " + noisy.device() +
                                 " but no NMEA sentence; is the speed right? "
                                 "BAUDRATE was 9600; receivers commonly use "
                                 "4800, 9600 or 38400\n");
}

// Ctrl-C ends every wait at once. (How fast is measured by `make bench`;
// here the bound only tells a prompt end from a wait running its course.)
TEST_F(EndToEnd, CtrlCEndsEveryWait) {
  Attach("ublox");
  auto interrupt = [](Child& run, const std::string& out) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int64_t interrupted_at = MonotonicMs();
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), 20);
    EXPECT_LT(MonotonicMs() - interrupted_at, 1000);
    EXPECT_EQ(run.Stdout(), out);
    EXPECT_EQ(run.Stderr(), "***Break\n");
  };
  {
    SCOPED_TRACE("the window");
    Pty pty;  // a receiver that sends nothing
    interrupt(*Start({pty.device(), "0", "9600", "POSITION"}), "");
  }
  {
    SCOPED_TRACE("a frozen map application, which is sent nothing");
    FrozenHost frozen(runtime_.path(), "KARTOVELL.1");
    interrupt(*Start({Log(kMunich), "0", "9600", "POSITION"}), kPosition);
    EXPECT_EQ(frozen.Received(), "");
  }
  SCOPED_TRACE("the reply");
  MapHost host(runtime_.path(), {"--no-reply"});
  interrupt(*Start({Log(kMunich), "0", "9600", "POSITION"}), kPosition);
  EXPECT_TRUE(host.child().WaitForOutput(kGoto));
  // Started without standard input and output, it waits with /dev/null in
  // their place, not its own descriptors.
  Child closed({"/bin/sh", "-c", "exec \"$0\" \"$1\" 0 9600 VERBOSE <&- >&-", NAVBEACON_BINARY,
                Log(kMunich)}, {"XDG_RUNTIME_DIR=" + runtime_.path()});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (const char* fd : {"0", "1"}) {
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(closed.pid()) + "/fd/" + fd),
              "/dev/null");
  }
  interrupt(closed, "");
  // Nothing left behind: the port directory holds the host's port alone.
  auto names = std::filesystem::directory_iterator(runtime_.path() + "/rexx");
  EXPECT_EQ(std::distance(begin(names), end(names)), 1);
}

// The captures of 17 real receivers, replayed through a tty: each run
// reads from the capture's start and centres the map on its first fix.
TEST_F(EndToEnd, RealReceiverCapturesThroughATty) {
  const std::string dir = SharedNmeaDir();
  if (dir.empty()) {
    NAVBEACON_SKIP("NOTICE: ../shared/nmea is absent; the captures are not run");
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
      EXPECT_TRUE(host.child().WaitForOutput("] " + capture.goto_first_rmc + "\n"));
    }
  }
}

// gpsd holds the receiver's tty: the text comes through it, whether DEVICE
// names the tty or gpsd itself. A u-blox 7 dongle is on the bus.
TEST_F(EndToEnd, ThroughARealGpsd) {
  Attach("ublox7");
  MapHost host(runtime_.path());
  Receiver receiver({"--start", "-33.8568,151.2153"});
  Child gpsd({"/usr/sbin/gpsd", "-N", "-n", "-b", "-S", "2947", "-F",
              files_.File("gpsd"), receiver.device});
  // Ready once gpsd lists the receiver among its devices.
  sockaddr_in address = {AF_INET, htons(2947), {htonl(INADDR_LOOPBACK)}, {}};
  std::string devices;
  for (const int64_t deadline = MonotonicMs() + 10000;
       devices.find(receiver.device) == std::string::npos && MonotonicMs() < deadline;
       usleep(50000)) {
    ScopedFd probe(socket(AF_INET, SOCK_STREAM, 0));
    char answer[4096];
    timeval wait = {0, 300000};
    setsockopt(probe.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(probe.get(), "?DEVICES;", 9, MSG_NOSIGNAL) != 9) {
      continue;
    }
    for (ssize_t got; (got = recv(probe.get(), answer, sizeof answer, 0)) > 0;) {
      devices.append(answer, got);
    }
  }
  for (const std::string& device : {receiver.device, std::string("gpsd://localhost:2947")}) {
    SCOPED_TRACE(device);
    auto run = Start({device, "0", "9600", "POSITION"});
    EXPECT_EQ(run->Wait(), 0) << run->Stderr();
    EXPECT_EQ(run->Stdout().substr(0, 17), "latitude = -33.85");
    EXPECT_EQ(run->Stderr(), device == receiver.device
                                 ? "navbeacon: gpsd holds " + device +
                                       "; the receiver's text came through gpsd\n"
                                 : "");
  }
  EXPECT_TRUE(host.child().WaitForOutput("] goto -33.85"));
  // A tty that gpsd does not serve is read as it is, gpsd running or not.
  Receiver other({});
  auto direct = Start({other.device, "0", "9600", "POSITION"});
  EXPECT_EQ(direct->Wait(), 0) << direct->Stderr();
  EXPECT_EQ(direct->Stdout().substr(0, 16), "latitude = 48.11");
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
      {"{\"class\":\"ERROR\",\"message\":\"Unrecognized request\"}\r\n", false,
       "gpsd answered: Unrecognized request"},
      {std::string(20000, 'x'), false, "gpsd sent a line longer than 16384 bytes"},
      {"{\"class\":\"VERSION\"}\r\n", true, "gpsd closed the connection"},
  };
  for (const Peer& p : peers) {
    SCOPED_TRACE(p.explanation);
    ScopedFd listener(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size), 0);
    listen(listener.get(), 1);
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
    std::thread peer([&] {
      ScopedFd client(accept(listener.get(), nullptr, nullptr));
      send(client.get(), p.says.data(), p.says.size(), MSG_NOSIGNAL);
      char drain[256];
      while (!p.hangs_up && recv(client.get(), drain, sizeof drain, 0) > 0) {
      }
    });
    auto run = Start({"gpsd://127.0.0.1:" + std::to_string(ntohs(address.sin_port)), "0", "0"});
    EXPECT_EQ(run->Wait(), 3);
    EXPECT_EQ(run->Stdout(), kDamaged);
    EXPECT_EQ(run->Stderr(), "navbeacon: " + p.explanation + "\n");
    peer.join();
  }
}

// --open shows the goto in the desktop's map when one handles geo: links,
// in the browser otherwise; stand-ins for xdg-mime and xdg-open record it.
TEST_F(EndToEnd, TheMapHostOpensTheDesktopsMap) {
  for (const std::string handler : {"org.gnome.Maps.desktop", ""}) {
    SCOPED_TRACE(handler);
    TempDir bin;
    WriteWholeFile(bin.File("xdg-mime"), "#!/bin/sh\necho '" + handler + "'\n");
    WriteWholeFile(bin.File("xdg-open"), "#!/bin/sh\necho \"$1\" >>" + bin.File("opened"));
    chmod(bin.File("xdg-mime").c_str(), 0755);
    chmod(bin.File("xdg-open").c_str(), 0755);
    Child host({MAPHOST_BINARY, "--open", "--count", "1"},
               {"XDG_RUNTIME_DIR=" + runtime_.path(), "PATH=" + bin.path() + ":/usr/bin:/bin"});
    ASSERT_TRUE(host.WaitForOutput(" open at "));
    Child run({NAVBEACON_BINARY, Log(kMunich), "0", "9600"},
              {"XDG_RUNTIME_DIR=" + runtime_.path()});
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_EQ(host.Wait(), 0);
    EXPECT_EQ(ReadWholeFile(bin.File("opened")),
              handler.empty() ? "https://www.openstreetmap.org/?mlat=48.117300&"
                                "mlon=11.516667#map=12/48.117300/11.516667\n"
                              : "geo:48.117300,11.516667?z=12\n");
  }
}

}  // namespace
