// navbeacon --follow, run as a user would: a pseudo-terminal, the
// simulator, a recording or gpsd as the source, the stand-in map
// application as the host, each case in its own runtime directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "gps/nmea.h"
#include "rexx/goto_command.h"
#include "tests/test_support.h"
#include "tests/usb_bus.h"

namespace {

// The fix of second `i`: 48° 0' + i' north, so each is a goto of its own.
std::string Rmc(int i) {
  char body[100];
  snprintf(body, sizeof body, "GPRMC,1200%02d,A,48%02d.000,N,01131.000,E,,,230394,,", i, i);
  return FrameNmeaSentence(body);
}

std::string GotoOf(int i) {
  char text[100];
  FormatGotoCommand(text, sizeof text, 48 + i / 60.0, 11 + 31 / 60.0, 12);
  return text;
}

// The gotos a map host printed, in order, and their times (ms of the day).
std::vector<std::string> Gotos(const Child& host, std::vector<int64_t>* times = nullptr) {
  std::vector<std::string> gotos;
  const std::string out = host.Stdout();
  const std::regex line("\\[([0-9]{2}):([0-9]{2}):([0-9]{2})\\.([0-9]{3})\\] (goto [^\\n]*)\\n");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
       ++it) {
    gotos.push_back((*it)[5]);
    const auto at = [&](int i) { return std::stoll((*it)[i]); };
    if (times) times->push_back(((at(1) * 60 + at(2)) * 60 + at(3)) * 1000 + at(4));
  }
  return gotos;
}

class Follow : public testing::Test {
 protected:
  // The bus is empty: a DEVICE not there yet is waited for all the same.
  std::unique_ptr<Child> Start(std::vector<std::string> args) {
    args.insert(args.begin(), NAVBEACON_BINARY);
    return std::make_unique<Child>(args, UsbBus::Env(runtime_.path()));
  }
  TempDir runtime_, files_;
  UsbBus bus_;
};

// Each fix from a tty is a goto, in order; a fix that comes while the map
// application is slow waits, and a newer one takes its place; the map
// application gone is said once and gets the position as soon as it is
// back.
TEST_F(Follow, ATtysFixesThroughASlowAndARestartedMap) {
  auto host = StartMapHost(runtime_.path());
  Pty pty;
  auto run = Start({"--follow=0.1", pty.device(), "0", "9600", "VERBOSE", "POSITION"});
  ASSERT_TRUE(pty.AwaitReader());
  std::vector<std::string> expected;
  for (int i = 0; i < 5; ++i) {
    pty.Write(Rmc(i) + Rmc(i));  // a fix said twice is one fix
    expected.push_back(GotoOf(i));
    ASSERT_TRUE(Eventually([&] { return Gotos(*host) == expected; })) << run->Stderr();
  }
  // Frozen: the goto of fix 5 waits for its reply, fixes 6 and 7 come
  // and go, and fix 8 is sent once the map replies.
  host->Signal(SIGSTOP);
  pty.Write(Rmc(5));
  ASSERT_TRUE(Eventually([&] { return run->Stdout().ends_with("latitude = 48.0833, longitude = 11.5167\n"); }));
  for (int i = 6; i <= 8; ++i) pty.Write(Rmc(i));
  ASSERT_TRUE(Eventually([&] { return run->Stdout().ends_with(Rmc(8)); }));
  host->Signal(SIGCONT);
  expected.insert(expected.end(), {GotoOf(5), GotoOf(8)});
  EXPECT_TRUE(Eventually([&] { return Gotos(*host).size() >= 7; }));
  EXPECT_EQ(Gotos(*host), expected);
  // The map application ends; the next fix waits for the next one.
  host->Signal(SIGTERM);
  EXPECT_EQ(host->Wait(), 0);
  pty.Write(Rmc(9));
  ASSERT_TRUE(Eventually([&] { return run->Stderr().find("no map application") != std::string::npos; }));
  host = StartMapHost(runtime_.path());
  EXPECT_TRUE(Eventually([&] { return Gotos(*host) == std::vector{GotoOf(9)}; }));
  pty.Write(Rmc(10));
  EXPECT_TRUE(Eventually([&] { return Gotos(*host).size() == 2; }));
  run->Signal(SIGINT);
  EXPECT_EQ(run->Wait(), 20);
  // Each said once: the pseudo-terminal, the map application gone, back.
  EXPECT_EQ(MissingFacts(run->Stderr(), {pty.device(), "pseudo-terminal", "KARTOVELL.1",
                                         runtime_.path() + "/rexx", "again", "***Break\n"}), "");
  EXPECT_EQ(std::ranges::count(run->Stderr(), '\n'), 4);
  // POSITION: a line for each position sent, fix 9 once however often it
  // was tried while the map application was gone.
  EXPECT_EQ(std::ranges::count(run->Stdout(), '='), 2 * 9);
}

// The simulator stopped and started again on the same link, as a receiver
// unplugged and plugged in again: the gotos go on.
TEST_F(Follow, AReceiverUnpluggedAndPluggedInAgain) {
  auto host = StartMapHost(runtime_.path());
  const std::string link = files_.File("gps");
  std::optional<Receiver> receiver(std::in_place, std::vector<std::string>{
      "--link", link, "--period", "100", "--baud", "115200"});
  auto run = Start({"--follow=0.1", link, "0", "115200"});
  ASSERT_TRUE(Eventually([&] { return !Gotos(*host).empty(); })) << run->Stderr();
  receiver->process->Signal(SIGTERM);
  EXPECT_EQ(receiver->process->Wait(), 0);
  ASSERT_TRUE(Eventually([&] { return run->Stderr().find("went away") != std::string::npos; }));
  receiver.emplace(std::vector<std::string>{"--link", link, "--period", "100", "--baud",
                                            "115200", "--start", "-10,-20"});
  EXPECT_TRUE(Eventually([&] { return Gotos(*host).back().starts_with("goto -10"); }));
  run->Signal(SIGTERM);
  EXPECT_EQ(run->Wait(), 128 + SIGTERM);
  EXPECT_EQ(MissingFacts(run->Stderr(), {link, "pseudo-terminal", link, "went away", link, "back"}),
            "");
  EXPECT_EQ(std::ranges::count(run->Stderr(), '\n'), 3);
}

// A recording is replayed fix by fix at the interval, and ends with the
// status of its last goto; a pipe ends when its writer does.
TEST_F(Follow, ARecordingAndAPipeEndWithTheirLastGoto) {
  std::string track;
  for (int i = 0; i < 4; ++i) track += Rmc(i) + Rmc(i);
  const std::string recording = files_.File("track.nmea"), empty = files_.File("empty.nmea");
  WriteWholeFile(recording, track);
  WriteWholeFile(empty, FrameNmeaSentence("GPRMC,,V,,,,,,,,,,N"));
  struct Case {
    bool host;
    std::vector<std::string> options;
    std::string command;
    int status;
    size_t gotos;
    std::string out;
    std::vector<std::string> said;  // none: nothing; "@" stands for the runtime directory
  };
  const std::string run = "exec \"$0\" --follow=0.3 ";
  const Case cases[] = {
      {true, {}, run + "\"$1\" 0 0", 0, 4, "", {}},
      {true, {"--error", "10"}, run + "\"$1\" 0 0", 5, 4, "", {"error 10"}},
      {false, {}, run + "\"$1\" 0 0", 4, 0, "No ARexx Port found!\nYou must start Kartovell first.\n",
       {"KARTOVELL.1", "@/rexx"}},
      {true, {}, run + "\"$2\" 0 0", 3, 0, kDamaged, {"fix", empty, "ended"}},
      {true, {}, "cat \"$1\" | " + run + "/dev/stdin 0 0 POSITION", 0, 1,
       "latitude = 48.05, longitude = 11.5167\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + " " + std::to_string(c.status));
    TempDir runtime;
    auto host = c.host ? StartMapHost(runtime.path(), c.options) : nullptr;
    Child follow({"/bin/sh", "-c", c.command, NAVBEACON_BINARY, recording, empty},
                 {"XDG_RUNTIME_DIR=" + runtime.path()});
    EXPECT_EQ(follow.Wait(), c.status);
    EXPECT_EQ(follow.Stdout(), c.out);
    std::vector<std::string> said = c.said;
    for (std::string& fact : said) fact = std::regex_replace(fact, std::regex("@"), runtime.path());
    EXPECT_EQ(MissingFacts(follow.Stderr(), said), "");
    EXPECT_EQ(follow.Stderr().empty(), said.empty()) << follow.Stderr();
    if (!host) continue;
    std::vector<int64_t> times;
    const std::vector<std::string> gotos = Gotos(*host, &times);
    EXPECT_EQ(gotos.size(), c.gotos);
    // The last fix is the last goto, each at the interval. The host's times
    // are of arrival, each later than the sending by a delay that load
    // stretches to tens of ms: the span is checked, with 100 ms for one such.
    if (!gotos.empty()) { EXPECT_EQ(gotos.back(), GotoOf(3)); }
    if (times.size() > 1) { EXPECT_GE(times.back() - times.front(), 300 * int64_t(times.size() - 1) - 100); }
  }
}

// gpsd in a network of its own: its reports are followed, and a gpsd that
// restarts is connected to again.
TEST_F(Follow, ThroughAGpsdThatRestarts) {
  if (system("unshare -rn true 2>/dev/null") != 0) {
    NAVBEACON_SKIP("NOTICE: no user namespaces here; gpsd is not tried");
  }
  const std::string script = R"(
    ip link set lo up || exit 1
    trap 'kill $(jobs -p) 2>/dev/null' EXIT  # nothing outlives a failure
    # The tests' Eventually, in the namespace's shell: a state, every 50 ms, 30 s at most.
    await() { for i in $(seq 600); do eval "$1" && return 0; sleep 0.05; done; echo "no $1" >&2; exit 1; }
    "$sim" --start -33.8568,151.2153 --baud 115200 > "$dir/sim" & sim=$!
    await '[ -s "$dir/sim" ]'
    device=$(head -1 "$dir/sim") && chmod 666 "$device"
    gpsd() { /usr/sbin/gpsd -N -n -b -S 2947 -F "$dir/control" "$device" 2>/dev/null & gpsd=$!; }
    gpsd
    await '(exec 3<>/dev/tcp/127.0.0.1/2947) 2>/dev/null'
    "$0" --follow gpsd://127.0.0.1:2947 0 0 POSITION > "$dir/out" 2> "$dir/err" & follow=$!
    await '[ $(wc -l < "$dir/out") -ge 2 ]'
    kill $gpsd && wait $gpsd
    await 'grep -q "went away" "$dir/err"'
    gpsd
    before=$(wc -l < "$dir/out")
    await '[ $(wc -l < "$dir/out") -ge $((before + 2)) ]'
    kill -INT $follow; wait $follow; echo $? > "$dir/status"
  )";
  Child shell({"unshare", "-rn", "/bin/bash", "-c", script, NAVBEACON_BINARY},
              {"XDG_RUNTIME_DIR=" + runtime_.path(), "dir=" + files_.path(),
               "sim=" GPSSIM_BINARY});
  auto host = StartMapHost(runtime_.path());
  EXPECT_EQ(shell.Wait(40000), 0) << shell.Stderr();
  EXPECT_EQ(ReadWholeFile(files_.File("status")), "20\n");
  EXPECT_EQ(MissingFacts(ReadWholeFile(files_.File("err")),
                         {"gpsd://127.0.0.1:2947", "went away", "2 s", "again", "***Break\n"}), "");
  EXPECT_GE(Gotos(*host).size(), 4u);
  EXPECT_TRUE(Gotos(*host).back().starts_with("goto -33.85")) << host->Stdout();
}

// Ctrl-C ends the run at once whatever it waits for, with the tty as it
// was; SIGTERM ends it by the signal.
TEST_F(Follow, CtrlCAtEveryStage) {
  const std::string recording = files_.File("track.nmea"), null = files_.File("null");
  WriteWholeFile(recording, Rmc(1) + Rmc(2));
  ASSERT_EQ(symlink("/dev/null", null.c_str()), 0);
  struct Stage {
    std::string name;
    std::vector<std::string> args;  // "@" stands for the pty
    bool host, frozen, fix;  // `fix`: the pty sends one
    std::string await;  // on standard error or output, before the signal
  };
  const Stage stages[] = {
      {"the first fix", {"@", "0", "4800"}, true, false, false, ""},
      {"a goto in flight", {"@", "0", "4800", "POSITION"}, true, true, true, "latitude"},
      {"no map application", {"@", "0", "4800"}, false, false, true, "no map application"},
      {"a receiver not plugged in", {files_.File("gone"), "0", "4800"}, true, false, false, "waiting"},
      {"a device that ends at once", {null, "0", "4800"}, true, false, false, "as it is opened"},
      {"gpsd not running", {"gpsd://127.0.0.1:1", "0", "0"}, true, false, false, "trying again"},
      {"the recording's pace", {"--follow=60", recording, "0", "0", "POSITION"}, true, false,
       false, "latitude"},
  };
  for (int signal : {SIGINT, SIGTERM}) {
    for (const Stage& stage : stages) {
      SCOPED_TRACE(stage.name + " " + std::to_string(signal));
      TempDir runtime;
      auto host = stage.host ? StartMapHost(runtime.path()) : nullptr;
      if (stage.frozen) host->Signal(SIGSTOP);
      Pty pty;
      const speed_t before = pty.Speed();
      std::vector<std::string> args = {NAVBEACON_BINARY};
      if (!stage.args[0].starts_with("--")) args.push_back("--follow");
      for (const std::string& arg : stage.args) args.push_back(arg == "@" ? pty.device() : arg);
      Child run(args, UsbBus::Env(runtime.path()));
      if (stage.args[0] == "@") {
        ASSERT_TRUE(pty.AwaitReader());
        if (stage.fix) pty.Write(Rmc(1));
      }
      ASSERT_TRUE(Eventually([&] {
        return (run.Stdout() + run.Stderr()).find(stage.await) != std::string::npos;
      }));
      run.Signal(signal);
      const int64_t signalled_at = MonotonicMs();
      EXPECT_EQ(run.Wait(), signal == SIGINT ? 20 : 128 + signal);
      EXPECT_LT(MonotonicMs() - signalled_at, 1000);
      EXPECT_EQ(run.Stderr().ends_with("***Break\n"), signal == SIGINT) << run.Stderr();
      EXPECT_EQ(run.Stderr().find("went away"), std::string::npos) << run.Stderr();
      EXPECT_EQ(pty.Speed(), before);
      if (stage.frozen) host->Signal(SIGCONT);
    }
  }
}

}  // namespace
