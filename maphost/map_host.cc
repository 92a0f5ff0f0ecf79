// navbeacon-maphost: a stand-in for the map application.
//
// Hosts a public port (KARTOVELL.1 by default), prints every command it
// receives with the time, and replies 0 with the result string "OK". A
// goto command also gets an OpenStreetMap link to the position, and goes
// to each enabled bridge: --open hands it to the desktop's map (geo: URI)
// or to the browser. The port loop (port_loop.h) serves the clients.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "maphost/geo_bridge.h"
#include "maphost/marble_bridge.h"
#include "maphost/port_loop.h"
#include "platform/break.h"
#include "platform/console.h"
#include "platform/public_port.h"
#include "platform/read_args.h"
#include "rexx/goto_command.h"
#include "tools/standard_options.h"

namespace {

struct Options {
  const char* port = kMapPortName;
  bool open = false;
  bool marble = false;
  PortLoopOptions loop;
};

void Usage(FILE* out) {
  fprintf(out,
          "Usage: navbeacon-maphost [--port NAME] [--open] [--marble] [--fields]\n"
          "                         [--error CODE] [--no-reply] [--count N]\n"
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
          "  --no-reply    never reply (the sender waits until interrupted)\n"
          "  --count N     end after N commands\n"
          "Ends on Ctrl-C, SIGTERM or SIGHUP, removing its port.\n",
          kMapPortName);
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view option = argv[i];
    const bool has_value = i + 1 < argc;
    if (option == "--port" && has_value) {
      options.port = argv[++i];
    } else if (option == "--open") {
      options.open = true;
    } else if (option == "--marble") {
      options.marble = true;
    } else if (option == "--fields") {
      options.loop.fields = true;
    } else if (option == "--no-reply") {
      options.loop.reply = false;
    } else if (option == "--error" && has_value) {
      if (!ParseInt32(argv[++i], options.loop.error)) return false;
    } else if (option == "--count" && has_value) {
      int32_t count;
      if (!ParseInt32(argv[++i], count) || count < 1) return false;
      options.loop.count = count;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status;
  if (AnswerStandardOption(argc, argv, "navbeacon-maphost", Usage, status)) return status;
  if (!ParseOptions(argc, argv, options)) {
    Usage(stderr);
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  InstallBreakHandler();
  CatchSignalAsBreak(SIGTERM);
  CatchSignalAsBreak(SIGHUP);
  signal(SIGPIPE, SIG_IGN);

  // Each enabled bridge, in the order the loop calls them.
  MapBridges bridges;
  if (options.marble) bridges.push_back(std::make_unique<MarbleBridge>());
  if (options.open) bridges.push_back(std::make_unique<GeoBridge>());

  int error = 0;
  std::unique_ptr<HostPort> port = AddPort(options.port, &error);
  if (!port) {
    Warnf("cannot open port %s: %s%s\n", options.port, strerror(error),
          error == EADDRINUSE ? "; another host has it open: stop it, or "
                                "host another with --port NAME"
                              : "");
    return 1;
  }
  printf("navbeacon-maphost: port %s open at %s\n", options.port,
         port->path().c_str());
  RunPortLoop(*port, options.loop, bridges);
  RemPort(std::move(port));
  return 0;
}
