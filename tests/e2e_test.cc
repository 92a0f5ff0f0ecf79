// The real binaries, run as a user would: a pseudo-terminal, file or gpsd
// as the device, umockdev's preload for USB, the stand-in map application
// as the host, each case in its own runtime directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "gps/nmea.h"
#include "platform/scoped_fd.h"
#include "tests/raw_host.h"
#include "tests/test_support.h"
#include "tests/usb_bus.h"

namespace {

const std::string kPosition = "latitude = 48.1173, longitude = 11.5167\n";
const std::string kGoto = "] goto 48.1173 11.516667 12\n";

class EndToEnd : public testing::Test {
 protected:
  // navbeacon with these arguments, seeing the simulated USB bus.
  std::unique_ptr<Child> Start(std::vector<std::string> args) {
    args.insert(args.begin(), NAVBEACON_BINARY);
    return std::make_unique<Child>(args, UsbBus::Env(runtime_.path()));
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

// The rest of the test runs again, alone, in a network namespace of its
// own (only loopback, up), and must pass there. gpsd's port 2947, which
// navbeacon asks about a tty, is then the test's own whatever holds it on
// this machine (Debian's gpsd.socket does wherever gpsd is installed).
void RunInOwnNetwork() {
  if (system("unshare -rn true 2>/dev/null") != 0) {
    NAVBEACON_SKIP("NOTICE: no user namespaces here; gpsd gets no port of its own");
  }
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  Child inner({"unshare", "-rn", "sh", "-c", "ip link set lo up && exec \"$0\" \"$1\"",
               std::filesystem::read_symlink("/proc/self/exe").string(),
               std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
              {"NAVBEACON_OWN_NETWORK=1"});
  EXPECT_EQ(inner.Wait(120000), 0) << inner.Stdout() << inner.Stderr();
  EXPECT_NE(inner.Stdout().find("[  PASSED  ] 1 test."), std::string::npos) << inner.Stdout();
}
#define IN_OWN_NETWORK() \
  if (getenv("NAVBEACON_OWN_NETWORK") == nullptr) return RunInOwnNetwork()

// Until gpsd's answer to `request` on 127.0.0.1:2947 matches the extended
// regular expression `pattern`; false after 10 s.
bool GpsdAnswers(const std::string& request, const std::string& pattern) {
  return Eventually([&] {
    return Child({"/bin/bash", "-c", "timeout 0.5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/2947 && "
                  "echo \"$0\" >&3 && cat <&3' \"$1\" | grep -qE \"$0\"", pattern, request}).Wait() == 0;
  }, 10000);
}

// What a program reads from `fd` up to the end of `end`, or within 5 s.
std::string ReadUntil(int fd, const std::string& end) {
  std::string text;
  pollfd ready = {fd, POLLIN, 0};
  for (char c; !text.ends_with(end) && poll(&ready, 1, 5000) > 0 && read(fd, &c, 1) == 1;) {
    text += c;
  }
  return text;
}

// The binary's contract, case by case: a shell command that runs it ("$0")
// on a recording ("$1"), which needs no receiver on the bus nor umockdev's
// preload; the map application is running.
TEST_F(EndToEnd, EachOutcomeWithItsStatusAndWords) {
  std::string bad_rmc = kMunichRmc;
  bad_rmc[bad_rmc.size() - 3] = '0';
  const std::string run = "exec \"$0\" \"$1\" 0 9600 ";
  struct Outcome {
    std::string command, text;
    int status;
    std::string out;
    std::vector<std::string> said;  // on standard error, in order; "@" is the recording's path
  };
  const Outcome outcomes[] = {
      {run + "ZOOM 12 VERBOSE POSITION", kMunichGga + kMunichRmc, 0, kMunichGga + kMunichRmc + "\n" + kPosition, {}},
      {run + "POSITION >/dev/full", kMunichRmc, 6, "", {"standard output", "No space left on device"}},
      // An explanation flushes the failing output first: the failure is still named.
      {run + "POSITION >/dev/full", "", 3, "", {"@", "ended", "standard output", "No space left on device"}},
      // A pipe whose reader has gone, with more text than stdio holds back.
      {"mkfifo \"$1.p\" && exec 4<>\"$1.p\" 5>\"$1.p\" 4<&- && " + run + "VERBOSE >&5",
       std::string(5000, '.') + kMunichRmc, 6, "", {"standard output", "Broken pipe"}},
      {"cat \"$1\" | exec \"$0\" /dev/stdin 0 0 POSITION", kMunichRmc, 0, kPosition, {}},
      // A pipe whose writer has gone (read sees its end) before the run.
      {"true | { read -r _; exec \"$0\" /dev/stdin 0 0; }", "", 3, kDamaged, {"/dev/stdin", "ended"}},
      {"exec \"$0\" /dev/stdin 0 0 </dev/null", "", 3, kDamaged,
       {"/dev/stdin", "memory device", "/dev/stdin", "ended"}},
      {"cd \"$XDG_RUNTIME_DIR/rexx\" && exec \"$0\" ./KARTOVELL.1 0 0", "", 2, "Wrong argument(s)!\n",
       {"./KARTOVELL.1", "socket", "/dev/stdin"}},
      {"ulimit -s 1024 && " + run + "POSITION", kMunichRmc, 0, kPosition, {}},
      {"LD_LIBRARY_PATH=" FAKE_UDEV_DIR " " + run, kMunichRmc, 20, "",
       {"startup message: Need version 0 of libudev.so.1\n", "libudev.so.1", "udev_new"}},
      {"XDG_RUNTIME_DIR=/" + std::string(120, 'd') + " " + run, kMunichRmc, 4,
       "No ARexx Port found!\nYou must start Kartovell first.\n",
       {"KARTOVELL.1", "138", "107", "XDG_RUNTIME_DIR", "/" + std::string(120, 'd')}},
      {"exec \"$0\"", "", 2, "Wrong argument(s)!\n", {"DEVICE UNIT BAUDRATE", "--help"}},
      {"exec \"$0\" Gpsd:// 1 0", "", 2, "Wrong argument(s)!\n", {"UNIT", "gpsd"}},
      {"unshare -rn sh -c 'ip link set lo up && exec \"$0\" gpsd://127.0.0.1 0 0' \"$0\"", "", 3,
       kDamaged, {"gpsd://127.0.0.1", "Connection refused", "2947", "gpsd.socket"}},
      {"exec \"$0\" 'gpsd://no gpsd here' 0 0", "", 3, kDamaged,
       {"no gpsd here", "Name or service not known"}},
      // POSITION without one prints the position as 0, 0.
      {run + "POSITION", "", 3, "latitude = 0, longitude = 0\n" + kDamaged, {"@", "ended"}},
      {run, "\xf0\x0f\xaa\x55", 3, kDamaged, {"NMEA", "4 bytes", "@"}},
      // "$PX*08" ends its sentence, though a comma comes soon after.
      {run, kMunichGga + FrameNmeaSentence("PGRMC,1") + FrameNmeaSentence("PX") + ",\r\n", 3,
       kDamaged, {"RMC", "GPGGA PGRMC PX"}},
      {run, kMunichGga + FrameNmeaSentence("GNRMC,,V,,,,,,,,,,N"), 3, kDamaged, {"fix", "status V"}},
      {run, kMunichGga + bad_rmc, 3, kDamaged, {"1 RMC", "checksum"}},
      {run, FrameNmeaSentence("GPRMC,1,A,4860.0,N,01131.0,E,,,,,"), 3, kDamaged, {"coordinates"}},
  };
  auto host = StartMapHost(runtime_.path());
  for (const Outcome& o : outcomes) {
    SCOPED_TRACE(o.command + " on " + o.text);
    const std::string log = Log(o.text);
    Child navbeacon({"/bin/sh", "-c", o.command, NAVBEACON_BINARY, log},
                    {"XDG_RUNTIME_DIR=" + runtime_.path()});
    EXPECT_EQ(navbeacon.Wait(), o.status);
    EXPECT_EQ(navbeacon.Stdout(), o.out);
    std::vector<std::string> said = o.said;
    std::replace(said.begin(), said.end(), std::string("@"), log);
    EXPECT_EQ(MissingFacts(navbeacon.Stderr(), said), "");
    // Each explanation a line of its own, and none where all went well.
    const std::string err = navbeacon.Stderr();
    EXPECT_EQ(err.empty(), said.empty()) << err;
    EXPECT_TRUE(std::regex_search(err, std::regex("^(navbeacon: [^\n]+\n|startup message: [^\n]+\n)*$")))
        << err;
  }
  EXPECT_TRUE(host->WaitForOutput(kGoto));
}

TEST_F(EndToEnd, ATtyHeldByAnotherProgramIsNamed) {
  bus_.Attach("ublox");
  Pty silent;
  // Another program holds the device, as gpsd would, for longer than the
  // run however slow (it is killed at the end).
  Child holder({"/bin/sh", "-c", "exec sleep 120 <\"$0\"", silent.device()});
  ASSERT_TRUE(AwaitOpenFile(holder.pid(), silent.device()));
  auto held = Start({silent.device(), "0", "9600"});
  EXPECT_EQ(held->Wait(), 3);
  EXPECT_EQ(MissingFacts(held->Stderr(), {silent.device(), "sleep", std::to_string(holder.pid())}), "");
}

// Ctrl-C ends every wait at once. (How fast is measured by `make bench`;
// here the bound only tells a prompt end from a wait running its course.)
TEST_F(EndToEnd, CtrlCEndsEveryWait) {
  bus_.Attach("ublox");
  // Once the run is waiting (`waiting` says when).
  auto interrupt = [](Child& run, const std::function<void()>& waiting, const std::string& out,
                      int signal = SIGINT) {
    waiting();
    const int64_t interrupted_at = MonotonicMs();
    run.Signal(signal);
    // SIGTERM, SIGHUP and SIGQUIT then end the run as they end any process.
    EXPECT_EQ(run.Wait(), signal == SIGINT ? 20 : 128 + signal);
    EXPECT_LT(MonotonicMs() - interrupted_at, 1000);
    EXPECT_EQ(run.Stdout(), out);
    EXPECT_EQ(run.Stderr().ends_with("***Break\n"), signal == SIGINT) << run.Stderr();
  };
  const rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE("the window, which leaves the tty as it was; signal " + std::to_string(signal));
    Pty pty;  // a receiver that sends nothing
    termios line;
    tcgetattr(pty.master(), &line);
    const speed_t before = cfgetispeed(&line);
    interrupt(*Start({pty.device(), "0", "4800", "POSITION"}), [&] { ASSERT_TRUE(pty.AwaitReader()); },
              "", signal);
    tcgetattr(pty.master(), &line);
    EXPECT_EQ(cfgetispeed(&line), before);
  }
  {
    SCOPED_TRACE("a frozen map application, which is sent nothing");
    FrozenHost frozen(runtime_.path(), "KARTOVELL.1");
    auto run = Start({Log(kMunichRmc), "0", "9600", "POSITION"});
    const std::string wchan = "/proc/" + std::to_string(run->pid()) + "/wchan";
    interrupt(*run, [&] {  // once blocked connecting to it
      ASSERT_TRUE(Eventually([&] { return ReadWholeFile(wchan) == "unix_wait_for_peer"; }));
    }, kPosition);
    EXPECT_EQ(frozen.Received(), "");
  }
  SCOPED_TRACE("the reply, started without standard input and output");
  auto host = StartMapHost(runtime_.path(), {"--no-reply"});
  // It waits with /dev/null in their place, not its own descriptors.
  Child closed({"/bin/sh", "-c", "exec \"$0\" \"$1\" 0 9600 VERBOSE <&- >&-", NAVBEACON_BINARY,
                Log(kMunichRmc)}, {"XDG_RUNTIME_DIR=" + runtime_.path()});
  ASSERT_TRUE(host->WaitForOutput(kGoto));  // the reply is awaited
  for (const char* fd : {"0", "1"}) {
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(closed.pid()) + "/fd/" + fd),
              "/dev/null");
  }
  interrupt(closed, [] {}, "");
  // Nothing left behind: the port directory holds the host's port and its
  // lock file alone.
  auto names = std::filesystem::directory_iterator(runtime_.path() + "/rexx");
  EXPECT_EQ(std::distance(begin(names), end(names)), 2);
}

// A resolver that never answers (a name server whose packets go nowhere,
// in namespaces of the test's own) holds the run no longer than the window,
// and Ctrl-C ends the wait for it.
TEST_F(EndToEnd, ANameLookupNobodyAnswers) {
  if (system("unshare -rmn true 2>/dev/null") != 0) {
    NAVBEACON_SKIP("NOTICE: no user namespaces here; the silent resolver is not tried");
  }
  const std::string resolver = Log("nameserver 10.53.0.1\n");
  auto run = [&] {
    return std::make_unique<Child>(std::vector<std::string>{
        "unshare", "-rmn", "sh", "-c", "ip link set lo up && ip route add 10.53.0.0/16 dev lo && "
        "mount --bind \"$0\" /etc/resolv.conf && exec \"$1\" gpsd://gps.example 0 0",
        resolver, NAVBEACON_BINARY});
  };
  auto unanswered = run();
  EXPECT_EQ(unanswered->Wait(), 3);
  EXPECT_EQ(MissingFacts(unanswered->Stderr(), {"gps.example", "resolver", "2 s"}), "");
  auto interrupted = run();
  // Ctrl-C once navbeacon (the same process, after unshare and sh) has its
  // lookup's thread: its handlers are in place by then.
  const std::string process = "/proc/" + std::to_string(interrupted->pid());
  const auto looking_up = [&] {
    std::error_code error;
    const std::filesystem::directory_iterator tasks(process + "/task", error);
    return std::filesystem::equivalent(process + "/exe", NAVBEACON_BINARY, error) &&
           std::distance(tasks, std::filesystem::directory_iterator()) >= 2;
  };
  ASSERT_TRUE(Eventually(looking_up));
  interrupted->Signal(SIGINT);
  // Far less than the resolver's own 10 s: Ctrl-C ended the wait.
  EXPECT_EQ(interrupted->Wait(5000), 20);
  EXPECT_EQ(interrupted->Stderr(), "***Break\n");
}

// The simulator replaces only a link left by one that has ended (not a
// running one's), removes only its own, and leaves none behind when it
// fails. Each program that opens a replayed device reads the capture from
// its start, however soon after another it opens, or while another reads.
TEST_F(EndToEnd, TheSimulatorsLinkAndText) {
  const std::string link = files_.File("gps"),
                    first = FrameNmeaSentence("GPRMC,000001,A,4807.038,N,01131.000,E,,,230394,,"),
                    log = Log(first + FrameNmeaSentence("GPRMC,000002,A,4807.038,N,01131.000,E,,,230394,,"));
  Receiver replay({"--replay", log, "--baud", "1200", "--period", "50"});
  auto state = [&] { return is_symlink(std::filesystem::symlink_status(link))
                                ? std::filesystem::read_symlink(link).string() : ReadWholeFile(link); };
  const struct { std::string before; std::vector<std::string> args; int status; std::string after, said; } cases[] = {
      {"mine", {}, 1, "mine", "it is not a symbolic link"},
      {"/dev/null", {}, 1, "/dev/null", "other than a pseudo-terminal"},
      {replay.device, {}, 1, replay.device, "is in use"},
      {"/dev/pts/999999", {"--period", "10"}, 0, "", "one burst every 360 ms"},
      {"", {"--trace", files_.File("no/trace")}, 1, "", "--trace " + files_.File("no/trace")},
      {"", {"--replay", "/dev/zero"}, 1, "", "4 MiB"},
      {"", {"--replay", Log("")}, 1, "", "empty"},
      {"", {"--replay", Log("no\r\nsentence $GPRMC\n")}, 1, "", "no NMEA sentence"},
      {"", {"--start", "nan,0"}, 2, "", "--start nan,0"},
      {"", {"--period", "9"}, 2, "", "--period 9"},
      {"", {"--bogus"}, 2, "", "--bogus"},
      {"", {"--baud"}, 2, "", "--baud"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before + " " + c.said);
    if (c.before.starts_with('/')) std::filesystem::create_symlink(c.before, link);
    if (c.before == "mine") WriteWholeFile(link, c.before);
    std::vector<std::string> args = {GPSSIM_BINARY, "--link", link, "--count", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Child simulator(args);
    EXPECT_EQ(simulator.Wait(), c.status);
    EXPECT_NE(simulator.Stderr().find(c.said), std::string::npos) << simulator.Stderr();
    EXPECT_EQ(state(), c.after);
    std::filesystem::remove(link);
  }
  // A device's path that cannot be printed is a failure, and leaves no link.
  Child unprinted({"/bin/sh", "-c", "exec \"$0\" --count 1 --link \"$1\" >/dev/full",
                   GPSSIM_BINARY, link});
  EXPECT_EQ(unprinted.Wait(), 1);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  Child unversioned({"/bin/sh", "-c", "exec \"$0\" --version >/dev/full", GPSSIM_BINARY});
  EXPECT_EQ(unversioned.Wait(), 1);
  EXPECT_NE(unversioned.Stderr().find("No space left on device"), std::string::npos);
  // At 1200 baud a sentence takes 0.5 s; the two share what it had sent.
  for (int run = 0; run < 4; ++run) {
    ScopedFd reading(open(replay.device.c_str(), O_RDONLY | O_NOCTTY));
    ASSERT_EQ(ReadUntil(reading.get(), "$"), "$");
    const std::string line = ReadUntil(ScopedFd(open(replay.device.c_str(), O_RDONLY | O_NOCTTY)).get(), "\n");
    EXPECT_TRUE(line.ends_with(first)) << run << line;
  }
  // A track round the date line: in its first quarter turn, west of it.
  Receiver track({"--start", "10,180", "--baud", "115200", "--period", "50", "--link", link});
  ScopedFd device(open(track.device.c_str(), O_RDONLY | O_NOCTTY));
  ReadUntil(device.get(), "RMC");
  const std::string rmc = ReadUntil(device.get(), "\n");
  EXPECT_TRUE(std::regex_search(rmc, std::regex(",N,17959\\.[0-9]{4},W,"))) << rmc;
  // Its time has hundredths: each burst of a second is a fix of its own.
  ReadUntil(device.get(), "RMC");
  EXPECT_NE(ReadUntil(device.get(), "\n").substr(0, 11), rmc.substr(0, 11));
  std::filesystem::rename(log, link);  // the capture in the link's place
  track.process->Signal(SIGTERM);
  EXPECT_EQ(track.process->Wait(), 0);
  EXPECT_TRUE(state().starts_with(first));
}

// gpsd holds the receiver's tty: the text comes through it, whether DEVICE
// names the tty or gpsd itself. A u-blox 7 dongle is on the bus. A gpsd
// that keeps the receiver open (-n) serves its current fix at once.
TEST_F(EndToEnd, ThroughARealGpsd) {
  IN_OWN_NETWORK();
  bus_.Attach("ublox7");
  auto host = StartMapHost(runtime_.path());
  // Short bursts, so that mid-second the second's fix has reached gpsd.
  Receiver receiver({"--start", "-33.8568,151.2153", "--baud", "115200"});
  Child gpsd({"/usr/sbin/gpsd", "-N", "-n", "-b", "-S", "2947", "-F", files_.File("gpsd"),
              receiver.device});
  ASSERT_TRUE(GpsdAnswers("?WATCH={};?POLL;", "\"device\":\"" + receiver.device + "\",\"mode\":3"));
  const auto mid_second = [] {  // 0.2 to 0.5 s past the second
    timespec now;
    return clock_gettime(CLOCK_REALTIME, &now) == 0 && now.tv_nsec > 200000000 &&
           now.tv_nsec < 500000000;
  };
  // A link to it, as udev makes them, in bytes that are not UTF-8: named
  // as the tty and as gpsd's device.
  const std::string link = files_.File("gps-\xff");
  ASSERT_EQ(symlink(receiver.device.c_str(), link.c_str()), 0);
  for (const std::string& device : {link, "gpsd://localhost" + link}) {
    SCOPED_TRACE(device);
    ASSERT_TRUE(Eventually(mid_second));
    auto run = Start({device, "0", "9600", "POSITION"});
    EXPECT_EQ(run->Wait(), 0) << run->Stderr();
    EXPECT_EQ(run->Stdout().substr(0, 17), "latitude = -33.85");
    std::string shown = device;  // as it is printed
    shown.replace(shown.find('\xff'), 1, "\\xFF");
    // Named as the tty, it is said to be gpsd's; the fix is gpsd's either way,
    // with its age (which fix is taken is the gpsd client's test's).
    const bool tty = !device.starts_with("gpsd://");
    std::vector<std::string> said = {shown, "pseudo-terminal", "gpsd", shown, "fix", receiver.device};
    EXPECT_EQ(MissingFacts(run->Stderr(), {said.begin() + (tty ? 0 : 4), said.end()}), "");
    EXPECT_EQ(std::ranges::count(run->Stderr(), '\n'), tty ? 3 : 1);
    EXPECT_TRUE(std::regex_search(run->Stderr(), std::regex(" [0-9]+\\.[0-9] s"))) << run->Stderr();
  }
  EXPECT_TRUE(host->WaitForOutput("] goto -33.85"));
  gpsd.Signal(SIGTERM);
  EXPECT_EQ(gpsd.Wait(), 0);
}

}  // namespace
