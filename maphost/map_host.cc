// navbeacon-maphost: a stand-in for the map application.
//
// Hosts a public port (KARTOVELL.1 by default), prints every command it
// receives with the time, and replies 0 with the result string "OK". A
// goto command also gets an OpenStreetMap link to the position, and goes
// to each enabled bridge: --open hands it to the desktop's map (geo: URI)
// or to the browser; --web serves a live map page that follows them. The
// port loop (port_loop.h) serves the clients.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "maphost/desktop_open.h"
#include "maphost/geo_bridge.h"
#include "maphost/marble_bridge.h"
#include "maphost/port_loop.h"
#include "maphost/web_bridge.h"
#include "maphost/web_server.h"
#include "platform/break.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/read_args.h"
#include "platform/standard_options.h"
#include "rexx/goto_command.h"
#include "rexx/public_port.h"

namespace {

// Ctrl-C before the port was open.
constexpr int kInterruptedStatus = 130;

struct Options {
  const char* port = kMapPortName;
  bool open = false;
  bool web = false;
  WebOptions web_options;
  bool marble = false;
  PortLoopOptions loop;
};

void Usage(FILE* out) {
  fprintf(out,
          "Usage: navbeacon-maphost [--port NAME] [--open] [--marble] [--fields]\n"
          "                         [--error CODE] [--no-reply] [--count N]\n"
          "                         [--web [ADDRESS:]PORT [--tiles URL]\n"
          "                          [--attribution TEXT]]\n"
          "\n"
          "A stand-in for the map application: hosts the public port\n"
          "(default %s), prints each command it receives with the time and\n"
          "replies 0 with the result \"OK\". For a goto it prints an\n"
          "OpenStreetMap link to the position at that zoom.\n"
          "\n"
          "  --port NAME   host this port instead\n"
          "  --open        show each goto in the desktop's map (a geo: link\n"
          "                through xdg-open), or in the browser without one\n"
          "  --marble      centre a running Marble on each goto (session\n"
          "                D-Bus); success once Marble shows it\n"
          "  --fields      also print every field of each message\n"
          "  --error CODE  reply with this error code and no result\n"
          "  --no-reply    never reply (navbeacon gives up after 10 s)\n"
          "  --count N     end after N commands\n"
          "  --web [ADDRESS:]PORT  serve a live map of the gotos at\n"
          "                http://ADDRESS:PORT/ (ADDRESS 127.0.0.1 when not\n"
          "                given; PORT 0 picks a free one); with --open, the\n"
          "                page is opened once at start\n"
          "  --tiles URL   the map's tile server, e.g.\n"
          "                http://localhost:8081/{z}/{x}/{y}.png\n"
          "                (default: OpenStreetMap's)\n"
          "  --attribution TEXT  the tile server's attribution, shown on the\n"
          "                map as plain text\n"
          "Ends on Ctrl-C, SIGTERM or SIGHUP, removing its port.\n",
          kMapPortName);
}

// The options, each at its OptionIndex.
enum OptionIndex { kPort, kOpen, kMarble, kFields, kError, kNoReply, kCount, kWeb, kTiles,
                   kAttribution };
constexpr ToolOption kOptions[] = {
    {"port", "a port name: 1 to 64 of A-Z a-z 0-9 . _ -, not starting with ."},
    {"open", nullptr},
    {"marble", nullptr},
    {"fields", nullptr},
    {"error", "a whole number"},
    {"no-reply", nullptr},
    {"count", "a whole number of 1 or more"},
    {"web", "give [IP-ADDRESS:]PORT, e.g. 8080 or 127.0.0.1:8080 (PORT 0 picks one)"},
    {"tiles", "a URL template"},
    {"attribution", "a text"},
};

// -1 when the host goes on, or the status it ends with (ReadToolOptions).
int ReadOptions(int argc, char** argv, Options& options) {
  const int status = ReadToolOptions(
      argc, argv, "navbeacon-maphost", kOptions, Usage,
      [&options](size_t index, const char* value, std::string& why) {
        int32_t number;
        switch (index) {
          case kPort:
            options.port = value;
            return ValidPortName(value) ? 0 : -EINVAL;
          case kOpen:
            options.open = true;
            return 0;
          case kMarble:
            options.marble = true;
            return 0;
          case kFields:
            options.loop.fields = true;
            return 0;
          case kError:
            return ParseInt32(value, options.loop.error) ? 0 : -EINVAL;
          case kNoReply:
            options.loop.reply = false;
            return 0;
          case kCount:
            if (!ParseInt32(value, number) || number < 1) return -EINVAL;
            options.loop.count = number;
            return 0;
          case kWeb:
            options.web = true;
            return ParseWebAddress(value, options.web_options);
          case kTiles:
            options.web_options.tiles = value;
            return CheckTileTemplate(options.web_options.tiles, why);
          default:
            options.web_options.attribution = value;
            return 0;
        }
      });
  if (status >= 0) return status;
  if (!options.web &&
      (!options.web_options.tiles.empty() || !options.web_options.attribution.empty())) {
    return RefuseOption("navbeacon-maphost", "--tiles and --attribution go with --web");
  }
  return -1;
}

// Says why the port could not be opened (`error`, a negative errno), and
// what to do; the exit status.
int ExplainNoPort(const char* name, int error, const std::string& lock_file) {
  char directory[108] = "";
  PortDirectory(directory, sizeof directory);
  const std::string unsafe = error == -EPERM ? UnsafePortDirectoryWhy(directory) : "";
  if (error == -EINTR) {
    Warnf("interrupted while waiting for the lock file %s\n", lock_file.c_str());
    return kInterruptedStatus;
  }
  if (!unsafe.empty()) {
    Warnf("cannot open port %s: %s\n", name, unsafe.c_str());
  } else if (error == -EBUSY) {
    Warnf("cannot open port %s: another host is starting on that name and holds its "
          "lock file %s; try again when it has started, or host another with --port NAME\n",
          name, lock_file.c_str());
  } else if (!lock_file.empty()) {
    Warnf("cannot open port %s: cannot lock its lock file %s: %s; remove that file and "
          "start again\n", name, lock_file.c_str(), FailureText(error));
  } else if (error == -EADDRINUSE) {
    Warnf("cannot open port %s: %s; another host has it open: stop it, or "
          "host another with --port NAME\n", name, FailureText(error));
  } else {
    // The directory, or one above it, is missing or cannot be written.
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    Warnf("cannot open port %s in %s: %s%s\n", name, directory, FailureText(error),
          runtime != nullptr && runtime[0] == '/'
              ? "; XDG_RUNTIME_DIR should name a directory of yours that exists"
              : "");
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  SetWarnPrefix("navbeacon-maphost: ");
  Options options;
  if (const int status = ReadOptions(argc, argv, options); status >= 0) return status;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  InstallBreakHandler();
  CatchSignalAsBreak(SIGTERM);
  CatchSignalAsBreak(SIGHUP);
  signal(SIGPIPE, SIG_IGN);

  // Each enabled bridge, in the order the loop calls them.
  MapBridges bridges;
  WebBridge* web = nullptr;
  if (options.web) {
    std::string why;
    std::unique_ptr<WebBridge> started = WebBridge::Start(options.web_options, why);
    if (!started) {
      Warnf("%s\n", why.c_str());
      return 1;
    }
    web = started.get();
    const std::string& address = options.web_options.address;
    if (address == "0.0.0.0" || address == "::") {
      Warnf("listening on every address (%s): the map and the position can be reached"
            " from other machines; --web 127.0.0.1:PORT keeps them on this one\n",
            address == "::" ? "[::]" : "0.0.0.0");
    } else if (!IsLoopback(address)) {
      Warnf("listening on %s, not a loopback address: the map and the position can be"
            " reached from other machines; --web 127.0.0.1:PORT keeps them on this one\n",
            address.find(':') != std::string::npos ? ("[" + address + "]").c_str()
                                                   : address.c_str());
    }
    bridges.push_back(std::move(started));
  }
  if (options.marble) bridges.push_back(std::make_unique<MarbleBridge>());
  // With the web map, --open opens its page once, below, not each goto.
  if (options.open && web == nullptr) bridges.push_back(std::make_unique<GeoBridge>());

  if (options.open && !OnPath("xdg-open")) {
    Warnf("no xdg-open on PATH: --open cannot show gotos until it is there "
          "(it comes with the xdg-utils package)\n");
  }

  std::string lock_file;
  std::unique_ptr<HostPort> port;
  const int error = AddPort(options.port, port, &lock_file);
  if (error < 0) return ExplainNoPort(options.port, error, lock_file);
  printf("navbeacon-maphost: port %s open at %s\n", options.port,
         port->path().c_str());
  if (web != nullptr) {
    printf("navbeacon-maphost: map at %s\n", web->url().c_str());
    if (options.open) OpenInBrowser(web->url());
  }
  RunPortLoop(*port, options.loop, bridges);
  RemPort(std::move(port));
  TellOpenersLeftRunning();
  // The port loop has seen every goto through, so Marble and --open have
  // nothing still running: they end at once. The web map's server does
  // not: its stop, which no timeout bounds, waits for its connections. So
  // that ending (on Ctrl-C too) is prompt whatever the web map's clients
  // do, that stop alone is given half a second, and only the kernel is
  // left to close what it has not.
  std::unique_ptr<MapBridge> web_map;
  for (std::unique_ptr<MapBridge>& bridge : bridges) {
    if (bridge.get() == web) web_map = std::move(bridge);
  }
  bridges.clear();
  if (web_map == nullptr) return 0;
  fflush(stdout);
  try {
    std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      Warnf("the web map's connections did not close in time; ending without them\n");
      _exit(0);
    }).detach();
  } catch (const std::system_error&) {
    // No thread: the stop is waited for.
  }
  web_map.reset();
  return 0;
}
