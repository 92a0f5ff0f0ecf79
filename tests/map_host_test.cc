// navbeacon-maphost as its clients and the desktop see it: many clients at
// once, some silent, some sending what navbeacon never would, a desktop
// whose map is slow to come up, and too few descriptors.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "rexx/rexx_command.h"
#include "tests/test_support.h"

namespace {

const std::string kMunichLink =
    "https://www.openstreetmap.org/?mlat=48.117300&mlon=11.516667#map=12/48.117300/11.516667\n";

class MapHost : public testing::Test {
 protected:
  ~MapHost() override {
    std::istringstream pids(ReadWholeFile(bin_.File("pids")));
    for (pid_t pid; pids >> pid;) kill(pid, SIGKILL);
  }

  // The host run by the shell `command` ("$0" is the host), with stand-ins
  // alone on PATH: xdg-mime names `handler` as the desktop's geo: handler;
  // xdg-open records what it is given, then runs `opener`, by default
  // taking longer than navbeacon's 10 s bound to finish.
  std::unique_ptr<Child> Start(const std::string& command, const std::string& handler = "",
                               std::string opener = "") {
    if (opener.empty()) opener = "echo $$ >>" + bin_.File("pids") + "; exec /bin/sleep 11";
    WriteWholeFile(bin_.File("xdg-mime"), "#!/bin/sh\necho '" + handler + "'\n");
    WriteWholeFile(bin_.File("xdg-open"), "#!/bin/sh\necho \"$1\" >>" + bin_.File("opened") + "\n" +
                                              opener + "\n");
    WriteWholeFile(bin_.File("opened"), "");
    for (const char* tool : {"xdg-mime", "xdg-open"}) chmod(bin_.File(tool).c_str(), 0755);
    auto host = std::make_unique<Child>(
        std::vector<std::string>{"/bin/sh", "-c", command, MAPHOST_BINARY},
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime_.path(), "PATH=" + bin_.path()});
    if (!host->WaitForOutput(" open at ")) ADD_FAILURE() << host->Stderr();
    return host;
  }

  // What xdg-open was given, once it has been given `count` things.
  std::string Opened(long count) const {
    Eventually([&] { return std::ranges::count(ReadWholeFile(bin_.File("opened")), '\n') >= count; });
    return ReadWholeFile(bin_.File("opened"));
  }

  RuntimeDir runtime_;
  TempDir bin_;
};

// --open shows each goto in the desktop's map when one handles geo: links,
// in the browser otherwise. An xdg-open still running after a second (it
// may be running the map itself) has been handed the goto, and the reply
// does not wait for it. One that fails is no success: the reply says what
// failed, with the last line xdg-open wrote (all it wrote is shown
// escaped), and the browser is given the OpenStreetMap link instead.
TEST_F(MapHost, HandsEachGotoToTheDesktopsMapOrTheBrowser) {
  const std::string geo = "geo:48.117300,11.516667?z=12\n";
  const struct {
    std::string handler, opener;  // after it records its argument
    int32_t code;
    std::string reply, opened, shown;  // `shown`: the host's line for it
    std::vector<std::string> said;
  } cases[] = {
      {"org.gnome.Maps.desktop", "", 0, "OK", geo, "  handed to the desktop's map: geo:", {}},
      {"", "", 0, "OK", kMunichLink, "  handed to the browser: no map application", {}},
      {"marble.desktop", "case $1 in geo:*) printf '\\033[31mred\\nxdg-open: no method available "
       "for opening %s\\n' \"$1\" >&2; exit 3;; esac", 20, "the desktop's map failed (xdg-open "
       "exit 3: xdg-open: no method available for opening geo:48.117300,11.516667?z=12); the "
       "OpenStreetMap link went to the browser", geo + kMunichLink,
       "  opened in the browser: the desktop's map failed\n",
       {"\\x1B[31mred\n", "xdg-open: no method available"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.handler + " " + c.opener);
    auto host = Start("exec \"$0\" --open", c.handler, c.opener);
    const RexxCommandResult reply = SendRexxCommand("KARTOVELL.1", "goto 48.1173 11.516667 12", true, 10000);
    EXPECT_EQ(reply.result1, c.code);
    EXPECT_STREQ((c.code == 0 ? reply.result : reply.error_text).get(), c.reply.c_str());
    EXPECT_EQ(Opened(std::ranges::count(c.opened, '\n')), c.opened);
    EXPECT_TRUE(host->WaitForOutput(c.shown)) << host->Stdout();
    host->Signal(SIGTERM);
    EXPECT_EQ(host->Wait(), 0);
    EXPECT_EQ(MissingFacts(host->Stderr(), c.said), "");
  }
}

// Twelve clients that connect and say nothing keep no sender waiting. A
// goto is taken exactly as navbeacon writes it and in range, or refused
// before any bridge sees it; other commands are taken as they come, and
// printed escaped.
TEST_F(MapHost, ServesEveryoneAtOnceAndRefusesUnsoundGotos) {
  auto host = Start("exec \"$0\" --open");
  std::vector<MsgPort> idle;
  for (int i = 0; i < 12; ++i) idle.push_back(FindPort("KARTOVELL.1", MonotonicMs() + 1000));
  const std::string form = "a goto is \"goto LAT LON ZOOM\": decimal degrees, north and east "
                           "positive, and a whole zoom level, e.g. goto 48.1173 11.516667 12";
  const std::pair<std::string, std::vector<std::string>> replies[] = {
      {"the latitude is out of range (-90 to 90)", {"goto 90.000001 0 12", "goto -91 0 12"}},
      {"the longitude is out of range (-180 to 180)",
       {"goto 0 180.5 12", "goto 1 -" + std::string(400, '9') + " 12"}},
      {form, {"goto nan 0 12", "goto 0 -inf 12", "goto 1e1 0 12", "goto 48.1 11.5",
              "goto 48.1 11.5 12 1", "goto 48.1 11.5 12 ", "goto 48.1  11.5 12", "goto .5 1. 12",
              "goto 48.1 11.5 1.5", "GOTO 48.1 11.5 12", "goto", "goto\t48.1 11.5 12"}},
      {"OK", {"say \x1b[2J\nhi\t\x7f", "goto 48.1173 11.516667 12", "goto -90 -180 0"}},
  };
  for (const auto& [text, commands] : replies) {
    for (const std::string& command : commands) {
      SCOPED_TRACE(command);
      RexxCommandResult reply = SendRexxCommand("KARTOVELL.1", command.c_str(), true, 10000);
      EXPECT_EQ(reply.result1, text == "OK" ? 0 : 10);
      EXPECT_STREQ((text == "OK" ? reply.result : reply.error_text).get(), text.c_str());
    }
  }
  EXPECT_EQ(Opened(2), kMunichLink + "https://www.openstreetmap.org/?mlat=-90.000000&"
                                     "mlon=-180.000000#map=0/-90.000000/-180.000000\n");
  EXPECT_TRUE(host->WaitForOutput("] say \\x1B[2J\\x0Ahi\\x09\\x7F\n"));
  // A goto the desktop could not be given is not a success.
  unlink(bin_.File("xdg-open").c_str());
  RexxCommandResult reply = SendRexxCommand("KARTOVELL.1", "goto 1 2 3", true, 10000);
  EXPECT_EQ(reply.result1, 20);
  EXPECT_STREQ(reply.error_text.get(), "the map host could not run xdg-open");
}

// Out of descriptors while clients queue, the host makes room or waits,
// rather than asking for another at once, over and over; no request that
// came is lost to the room made.
TEST_F(MapHost, OutOfDescriptorsItDoesNotSpin) {
  rusage before, after;
  getrusage(RUSAGE_CHILDREN, &before);
  auto host = Start("ulimit -n 10 && exec \"$0\" --no-reply");
  RexxMsg message;  // never answered: each keeps a descriptor of the host
  CreateRexxMsg(message, "", "KARTOVELL.1");
  message.rm_Args[0] = "goto 1 2 3";
  std::vector<MsgPort> clients;
  long sent = 0;
  for (int i = 0; i < 40; ++i) {
    clients.push_back(FindPort("KARTOVELL.1", MonotonicMs() + 100));
    sent += clients.back() && PutMsg(clients.back(), message) == Exchange::kOk;
  }
  // Every request taken: a goto, its map and its open line each, and the
  // host's first line.
  Eventually([&] { return std::ranges::count(host->Stdout(), '\n') >= 2 * sent + 1; });
  host->Signal(SIGTERM);
  EXPECT_EQ(host->Wait(), 0);
  getrusage(RUSAGE_CHILDREN, &after);
  // Spinning until room is made burns seconds; taking 40 clients, milliseconds.
  const auto cpu_ms = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
  };
  EXPECT_LT(cpu_ms(after) - cpu_ms(before), 500);
  EXPECT_EQ(std::ranges::count(host->Stdout(), '\n'), 2 * sent + 1);
}

// Marble on the session bus, taking 1.5 s to draw, is centred on
// navbeacon's goto within navbeacon's bound. (What it does with the gotos
// that come while it draws is the port loop's, tested there.)
TEST_F(MapHost, ASlowMarbleIsCentredOnTheGoto) {
  if (access("/usr/bin/dbus-run-session", X_OK) != 0 ||
      system("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null") != 0) {
    NAVBEACON_SKIP("dbus-run-session, python3-dbus and python3-gi are needed");
  }
  WriteWholeFile(runtime_.File("munich.nmea"), kMunichRmc);
  Child host({"/usr/bin/dbus-run-session", "--", "/usr/bin/python3",
              SOURCE_DIR "/tests/fake_marble.py", runtime_.File("centres"), "1.5",
              MAPHOST_BINARY, "--marble", "--count", "1"},
             {"XDG_RUNTIME_DIR=" + runtime_.path()});
  ASSERT_TRUE(host.WaitForOutput(" open at ")) << host.Stderr();
  Child navbeacon({NAVBEACON_BINARY, runtime_.File("munich.nmea"), "0", "9600"},
                  {"XDG_RUNTIME_DIR=" + runtime_.path()});
  EXPECT_EQ(navbeacon.Wait(), 0) << navbeacon.Stderr();
  EXPECT_EQ(host.Wait(), 0) << host.Stderr();
  EXPECT_EQ(ReadWholeFile(runtime_.File("centres")), "48.117300 11.516667\n");
}

// A host whose socket was removed from under it, and that ends after
// another has taken the name, leaves the other's port in place.
TEST_F(MapHost, AnEndingHostLeavesANewerHostsPortAlone) {
  WriteWholeFile(runtime_.File("munich.nmea"), kMunichRmc);
  auto first = StartMapHost(runtime_.path());
  ASSERT_EQ(unlink((runtime_.path() + "/rexx/KARTOVELL.1").c_str()), 0);
  auto second = StartMapHost(runtime_.path(), {"--count", "1"});
  first->Signal(SIGTERM);
  EXPECT_EQ(first->Wait(), 0);
  Child navbeacon({NAVBEACON_BINARY, runtime_.File("munich.nmea"), "0", "9600"},
                  {"XDG_RUNTIME_DIR=" + runtime_.path()});
  EXPECT_EQ(navbeacon.Wait(), 0) << navbeacon.Stdout() << navbeacon.Stderr();
  EXPECT_EQ(second->Wait(), 0);
}

// A bad option ends the host with status 2 before anything is opened,
// named in one line with what its value must be; --help is answered
// wherever it stands.
TEST_F(MapHost, NamesABadOptionInOneLine) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> facts;  // on standard error
  } cases[] = {
      {{"--count", "0"}, 2, {"--count 0", "1 or more"}},
      {{"--open", "--count"}, 2, {"--count", "1 or more"}},
      {{"--bogus"}, 2, {"--bogus"}},
      {{"--web="}, 2, {"--web ''", "PORT"}},
      {{"--port", "a/b"}, 2, {"--port a/b", "A-Z"}},
      {{"--open", "goto"}, 2, {"goto"}},
      {{"--tiles", "https://t.example/{z}.png"}, 2, {"--tiles", "--web"}},
      {{"--count", "1", "--help"}, 0, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {MAPHOST_BINARY};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Child host(args, {"XDG_RUNTIME_DIR=" + runtime_.path()});
    EXPECT_EQ(host.Wait(), c.status) << args.back();
    const std::string said = host.Stderr();
    EXPECT_EQ(std::ranges::count(said, '\n'), c.status != 0) << said;
    for (const std::string& fact : c.facts) EXPECT_NE(said.find(fact), std::string::npos) << said;
    EXPECT_EQ(host.Stdout().starts_with("Usage: "), c.status == 0) << host.Stdout();
  }
  EXPECT_FALSE(std::filesystem::exists(runtime_.path() + "/rexx/KARTOVELL.1"));
}

// A host that cannot open its port says why as navbeacon would and what
// to do: a port directory that cannot be made, one open to others, and
// Ctrl-C while another holds the name's lock, which ends as an interrupt.
TEST_F(MapHost, SaysWhyItsPortCannotBeOpened) {
  Child no_directory({MAPHOST_BINARY}, {"XDG_RUNTIME_DIR=" + runtime_.path() + "/missing"});
  EXPECT_EQ(no_directory.Wait(), 1);
  EXPECT_EQ(MissingFacts(no_directory.Stderr(), {runtime_.path() + "/missing/rexx",
                                                 "No such file or directory", "XDG_RUNTIME_DIR"}),
            "");

  const std::string directory = runtime_.path() + "/rexx";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  Child open_to_others({MAPHOST_BINARY}, {"XDG_RUNTIME_DIR=" + runtime_.path()});
  EXPECT_EQ(open_to_others.Wait(), 1);
  // The explanation's words are navbeacon's, checked there.
  EXPECT_NE(open_to_others.Stderr().find("KARTOVELL.1: the port directory " + directory +
                                         " has mode 0755"), std::string::npos);

  ASSERT_EQ(chmod(directory.c_str(), 0700), 0);
  const std::string lock_file = directory + "/.KARTOVELL.1.lock";
  ScopedFd lock(open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(flock(lock.get(), LOCK_EX), 0);
  Child waiting({MAPHOST_BINARY}, {"XDG_RUNTIME_DIR=" + runtime_.path()});
  EXPECT_TRUE(AwaitOpenFile(waiting.pid(), lock_file));  // waiting for the lock
  waiting.Signal(SIGINT);
  EXPECT_EQ(waiting.Wait(), 130);
  EXPECT_NE(waiting.Stderr().find("interrupted"), std::string::npos);
  EXPECT_NE(waiting.Stderr().find(lock_file), std::string::npos);
}

}  // namespace
