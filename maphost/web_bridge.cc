#include "maphost/web_bridge.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "maphost/web_events.h"
#include "maphost/web_server.h"
#include "platform/console.h"
#include "platform/read_args.h"

extern char** environ;

namespace {

constexpr const char* kOsmTiles = "https://tile.openstreetmap.org/{z}/{x}/{y}.png";
constexpr const char* kOsmAttribution =
    "&copy; <a href=\"https://www.openstreetmap.org/copyright\">"
    "OpenStreetMap</a> contributors";

std::string ReadFile(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  ok = in && !in.bad();
  return text.str();
}

// The page beside the executable: PREFIX/share/navbeacon for PREFIX/bin,
// whatever the prefix, or the build tree's copy in page/; else where the
// build installs it.
std::string PageDir() {
  char exe[4096];
  const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length > 0) {
    std::string dir(exe, static_cast<size_t>(length));
    dir = dir.substr(0, dir.rfind('/'));
    for (const std::string& candidate : {dir + "/../share/navbeacon", dir + "/page"}) {
      if (access((candidate + "/index.html").c_str(), R_OK) == 0) return candidate;
    }
  }
  return NAVBEACON_PAGE_INSTALL_DIR;
}

bool IsIpLiteral(const std::string& text) {
  unsigned char buffer[sizeof(struct in6_addr)];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

// The attribution goes into the page as HTML: the user's text is shown as
// it is, never as markup.
std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UtcNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc;
  gmtime_r(&now.tv_sec, &utc);
  char stamp[40];
  const size_t length = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(stamp + length, sizeof stamp - length, ".%03ldZ", now.tv_nsec / 1000000);
  return stamp;
}

}  // namespace

// The hub outlives the server, whose connections it feeds.
struct WebBridge::State {
  EventHub hub;
  std::unique_ptr<WebServer> server;
};

int ParseWebAddress(std::string_view text, WebOptions& options) {
  std::string address = "127.0.0.1";
  const size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    address = std::string(text.substr(0, colon));
    text.remove_prefix(colon + 1);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
      address = address.substr(1, address.size() - 2);
    } else if (address.find(':') != std::string::npos) {
      return -EINVAL;  // an IPv6 address wants brackets
    }
  }
  int32_t port;
  if (!ParseInt32(text, port) || port < 0 || port > 65535) return -EINVAL;
  if (!IsIpLiteral(address)) return -EINVAL;
  options.address = address;
  options.port = port;
  return 0;
}

int CheckTileTemplate(const std::string& tiles, std::string& why) {
  static constexpr const char* kFilled = "{s} {z} {x} {y} {-y} {r}";
  for (size_t open = tiles.find('{'); open != std::string::npos;
       open = tiles.find('{', open + 1)) {
    const size_t close = tiles.find_first_of("{}", open + 1);
    if (close == std::string::npos || tiles[close] == '{') {
      why = "the placeholder " + tiles.substr(open, close - open) +
            " is not closed by a }; the map fills " + kFilled;
      return -EINVAL;
    }
    // The map takes spaces around a name, "{ z }", as "{z}".
    const std::string inside = tiles.substr(open + 1, close - open - 1);
    const size_t first = inside.find_first_not_of(' ');
    const std::string name =
        first == std::string::npos
            ? ""
            : inside.substr(first, inside.find_last_not_of(' ') - first + 1);
    if (name != "s" && name != "z" && name != "x" && name != "y" && name != "r" &&
        name != "-y") {
      why = "the map cannot fill " + tiles.substr(open, close - open + 1) +
            " (it fills " + kFilled + "); put the key or value in the URL itself";
      return -EINVAL;
    }
  }
  return 0;
}

std::unique_ptr<WebBridge> WebBridge::Start(const WebOptions& options,
                                            std::string& error) {
  WebSite site;
  const std::string page = PageDir();
  const std::string leaflet = NAVBEACON_LEAFLET_DIR;
  const struct {
    const char* path;
    const std::string& dir;
    const char* name;
    const char* type;
  } table[] = {
      {"/", page, "index.html", "text/html; charset=utf-8"},
      {"/index.js", page, "index.js", "text/javascript; charset=utf-8"},
      {"/index.css", page, "index.css", "text/css; charset=utf-8"},
      {"/leaflet/leaflet.js", leaflet, "leaflet.js", "text/javascript; charset=utf-8"},
      {"/leaflet/leaflet.css", leaflet, "leaflet.css", "text/css; charset=utf-8"},
      {"/leaflet/images/marker-icon.png", leaflet, "images/marker-icon.png", "image/png"},
      {"/leaflet/images/marker-icon-2x.png", leaflet, "images/marker-icon-2x.png", "image/png"},
      {"/leaflet/images/marker-shadow.png", leaflet, "images/marker-shadow.png", "image/png"},
  };
  for (const auto& entry : table) {
    const std::string path = entry.dir + "/" + entry.name;
    bool ok;
    std::string content = ReadFile(path, ok);
    if (!ok) {
      error = "cannot read " + path + (entry.dir == leaflet
                  ? ": install Leaflet (apt-get install libjs-leaflet)"
                  : ": reinstall navbeacon (the page belongs in " NAVBEACON_PAGE_INSTALL_DIR ")");
      return nullptr;
    }
    site.files[entry.path] = {std::move(content), entry.type};
  }
  const bool osm = options.tiles.empty();
  site.files["/config"].type = "application/json";
  site.files["/config"].content = nlohmann::json{
      {"tiles", osm ? kOsmTiles : options.tiles},
      {"attribution", !options.attribution.empty() ? HtmlEscape(options.attribution)
                      : osm                        ? kOsmAttribution
                                                   : ""}}.dump();

  std::unique_ptr<State> state;
  try {
    state = std::make_unique<State>();
  } catch (const std::system_error& failure) {
    error = std::string("cannot start the web map: ") + failure.what() +
            " (too few descriptors? see ulimit -n)";
    return nullptr;
  }
  state->server =
      WebServer::Start(options.address, options.port, std::move(site), state->hub, error);
  if (!state->server) return nullptr;
  return std::unique_ptr<WebBridge>(new WebBridge(std::move(state)));
}

WebBridge::WebBridge(std::unique_ptr<State> state) : state_(std::move(state)) {}

WebBridge::~WebBridge() {
  // The server must find no stream asleep when it stops.
  state_->hub.Close();
  state_->server.reset();
}

const std::string& WebBridge::url() const { return state_->server->url(); }

BridgeReply WebBridge::Show(const MapGoto& where) {
  state_->hub.Publish(nlohmann::json{{"latitude", where.latitude},
                                     {"longitude", where.longitude},
                                     {"zoom", where.zoom},
                                     {"time", UtcNow()}}
                          .dump());
  return {};
}
