// navbeacon-maphost: a stand-in for the map application.
//
// Hosts a public port (KARTOVELL.1 by default), prints every command it
// receives with the time, and replies 0 with the result string "OK". A
// goto command also gets an OpenStreetMap link to the position; --open
// hands the position to the desktop's map (geo: URI) or to the browser.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "maphost/marble_bridge.h"
#include "platform/break.h"
#include "platform/public_port.h"
#include "platform/read_args.h"
#include "tools/standard_options.h"
#include "rexx/goto_command.h"

extern char** environ;

namespace {

struct Options {
  const char* port = kMapPortName;
  bool open = false;
  bool marble = false;
  bool fields = false;
  bool reply = true;
  int32_t error = 0;
  long count = -1;  // commands to take before ending; -1: no limit
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
          "                D-Bus) and reply success once it shows it\n"
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
      options.fields = true;
    } else if (option == "--no-reply") {
      options.reply = false;
    } else if (option == "--error" && has_value) {
      if (!ParseInt32(argv[++i], options.error)) return false;
    } else if (option == "--count" && has_value) {
      int32_t count;
      if (!ParseInt32(argv[++i], count) || count < 1) return false;
      options.count = count;
    } else {
      return false;
    }
  }
  return true;
}

void PrintTime() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  printf("[%s.%03ld] ", stamp, now.tv_nsec / 1000000);
}

// Whether the desktop has a handler for geo: URIs (GNOME Maps, Marble).
bool DesktopHasMap() {
  FILE* query =
      popen("xdg-mime query default x-scheme-handler/geo 2>/dev/null", "re");
  if (query == nullptr) return false;
  char handler[256] = "";
  const bool answered = fgets(handler, sizeof handler, query) != nullptr;
  const int status = pclose(query);
  return answered && status == 0 && handler[0] != '\n' && handler[0] != '\0';
}

void Open(const char* uri) {
  const char* args[] = {"xdg-open", uri, nullptr};
  pid_t child;
  if (posix_spawnp(&child, "xdg-open", nullptr, nullptr,
                   const_cast<char* const*>(args), environ) != 0) {
    fprintf(stderr, "navbeacon-maphost: cannot run xdg-open\n");
    return;
  }
  int status;
  waitpid(child, &status, 0);
}

BridgeReply ShowGoto(const std::string& command, bool open,
                     MapBridge* bridge) {
  double latitude, longitude;
  int zoom;
  char tail;
  if (sscanf(command.c_str(), "goto %lf %lf %d %c", &latitude, &longitude,
             &zoom, &tail) != 3) {
    return {};
  }
  char link[256];
  snprintf(link, sizeof link,
           "https://www.openstreetmap.org/?mlat=%.6f&mlon=%.6f#map=%d/%.6f/%.6f",
           latitude, longitude, zoom, latitude, longitude);
  printf("  map: %s\n", link);
  if (bridge != nullptr && std::fabs(latitude) <= 90 && std::fabs(longitude) <= 180) {
    return bridge->Show({latitude, longitude, zoom});
  }
  if (!open) return {};
  // The desktop's own map when it has one, the browser otherwise.
  if (DesktopHasMap()) {
    char geo[128];
    snprintf(geo, sizeof geo, "geo:%.6f,%.6f?z=%d", latitude, longitude, zoom);
    printf("  opened in the desktop's map: %s\n", geo);
    fflush(stdout);
    Open(geo);
  } else {
    printf("  opened in the browser: no map application handles geo: links\n");
    fflush(stdout);
    Open(link);
  }
  return {};
}

void ShowFields(const ReceivedRexxMsg& message) {
  printf("  action: 0x%08x\n  host address: %s\n  file extension: \"%s\"\n"
         "  arguments: %zu\n",
         message.action, message.host_address.c_str(),
         message.file_extension.c_str(), message.args.size());
  for (size_t i = 0; i < message.args.size(); ++i) {
    printf("  argument %zu: %s\n", i, message.args[i].c_str());
  }
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

  int error = 0;
  std::unique_ptr<HostPort> port = AddPort(options.port, &error);
  if (!port) {
    fprintf(stderr, "navbeacon-maphost: cannot open port %s: %s\n",
            options.port, strerror(error));
    return 1;
  }
  printf("navbeacon-maphost: port %s open at %s\n", options.port,
         port->path().c_str());

  std::unique_ptr<MapBridge> bridge;
  if (options.marble) bridge = std::make_unique<MarbleBridge>();
  std::vector<HostMsg> unanswered;  // --no-reply keeps them open
  long taken = 0;
  while (options.count < 0 || taken < options.count) {
    if (!WaitPort(*port, -1)) {
      if (BreakRequested()) break;
      continue;
    }
    HostMsg message;
    if (!GetMsg(*port, message)) continue;
    ++taken;
    const std::string& command = message.message.args[0];
    PrintTime();
    printf("%s\n", command.c_str());
    if (options.fields) ShowFields(message.message);
    const BridgeReply shown = ShowGoto(command, options.open, bridge.get());
    if (!options.reply) {
      unanswered.push_back(std::move(message));
    } else if (shown.code != 0) {
      const std::string_view text = shown.text;
      ReplyMsg(message, shown.code, &text);
    } else if (options.error != 0) {
      ReplyMsg(message, options.error, nullptr);
    } else {
      const std::string_view ok = "OK";
      ReplyMsg(message, 0, &ok);
    }
  }
  RemPort(std::move(port));
  return 0;
}
