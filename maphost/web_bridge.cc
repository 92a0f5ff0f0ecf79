#include "maphost/web_bridge.h"

#include <arpa/inet.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "platform/console.h"
#include "platform/read_args.h"
#include "platform/wait.h"

extern char** environ;

namespace {

// A page holds one stream; a few tabs and a test at once are plenty, and
// each stream holds one of the server's threads.
constexpr size_t kMaxStreams = 8;
// The short requests (the page's files, /position) get threads of their
// own, so that open streams never starve them.
constexpr size_t kWorkers = kMaxStreams + 8;
// A stream this many gotos behind is dropped: its browser reconnects and
// starts again from the last goto, instead of the host queueing for it
// without end.
constexpr size_t kMaxBehind = 32;
// A comment on a quiet stream finds browsers that went away.
constexpr auto kKeepAlive = std::chrono::seconds(15);
constexpr time_t kTimeoutSeconds = 5;  // reading, writing, idle keep-alive

constexpr const char* kOsmTiles = "https://tile.openstreetmap.org/{z}/{x}/{y}.png";
constexpr const char* kOsmAttribution =
    "&copy; <a href=\"https://www.openstreetmap.org/copyright\">"
    "OpenStreetMap</a> contributors";

struct File {
  std::string content;
  const char* type;
};

struct Stream {
  std::deque<std::string> pending;  // events not yet written
  bool dropped = false;
};

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

bool IsWildcard(const std::string& address) {
  return address == "0.0.0.0" || address == "::";
}

std::string HostPart(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

bool IsIpLiteral(std::string_view host) {
  std::string text(host);
  unsigned char buffer[sizeof(struct in6_addr)];
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    return inet_pton(AF_INET6, text.substr(1, text.size() - 2).c_str(), buffer) == 1;
  }
  return inet_pton(AF_INET, text.c_str(), buffer) == 1;
}

bool IsLoopback(const std::string& address) {
  return address.starts_with("127.") || address == "::1" ||
         address.starts_with("::ffff:127.");
}

// The user owning the socket at `address`:`port` of this machine, as the
// kernel lists it in /proc/net/tcp or tcp6; -1 when it is not listed. TCP
// carries no credentials, and this is how a loopback peer's user is
// known.
long SocketOwner(std::string address, int port) {
  // An IPv4 peer of a socket listening on :: is listed with IPv4's.
  if (address.starts_with("::ffff:") && address.find('.') != std::string::npos) {
    address.erase(0, 7);
  }
  char key[48];
  const char* table = "/proc/net/tcp";
  struct in_addr v4;
  struct in6_addr v6;
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    snprintf(key, sizeof key, "%08X:%04X", v4.s_addr, port);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
    uint32_t words[4];
    memcpy(words, &v6, sizeof words);
    snprintf(key, sizeof key, "%08X%08X%08X%08X:%04X", words[0], words[1],
             words[2], words[3], port);
    table = "/proc/net/tcp6";
  } else {
    return -1;
  }
  std::ifstream in(table);
  std::string line, slot, local, remote, state, queues, timer, retransmits;
  long uid;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    if (fields >> slot >> local >> remote >> state >> queues >> timer >>
            retransmits >> uid &&
        local == key) {
      return uid;
    }
  }
  return -1;
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

// How long the host waits, when it ends, for the server's workers.
constexpr int kStopMs = 1000;

struct WebBridge::State {
  WebOptions options;
  std::string url;
  std::set<std::string> hosts;  // the Host headers answered
  std::map<std::string, File> files;
  std::string config;  // the tile server, for the page
  httplib::Server server;
  std::thread listener;
  std::atomic<bool> listened{false};  // listen_after_bind has returned

  std::mutex mutex;  // guards what follows
  std::condition_variable changed;
  std::string last = "null";  // the last goto as JSON
  std::set<std::shared_ptr<Stream>> streams;
  bool stopping = false;

  bool HostAllowed(const std::string& host) const {
    if (hosts.count(host) != 0) return true;
    // Listening everywhere, any address names it; DNS rebinding needs a
    // name, so only names are refused.
    const std::string suffix = ":" + std::to_string(options.port);
    return IsWildcard(options.address) && host.size() > suffix.size() &&
           host.ends_with(suffix) &&
           IsIpLiteral(std::string_view(host).substr(0, host.size() - suffix.size()));
  }

  // Writes what is queued for the stream, or a keep-alive comment when
  // nothing comes for a while; false ends the stream.
  bool Pump(Stream& stream, httplib::DataSink& sink) {
    std::string out;
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait_for(lock, kKeepAlive, [&] {
        return stopping || stream.dropped || !stream.pending.empty();
      });
      if (stopping || stream.dropped) return false;
      for (const std::string& event : stream.pending) out += event;
      stream.pending.clear();
    }
    if (out.empty()) out = ":\n\n";
    return sink.write(out.data(), out.size());
  }

  void ServeEvents(httplib::Response& response) {
    auto stream = std::make_shared<Stream>();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (streams.size() >= kMaxStreams) {
        response.status = 503;
        response.set_content("navbeacon-maphost: too many open maps; close one\n",
                             "text/plain");
        return;
      }
      // A page that reconnects after the host restarts tries again soon;
      // a page opened after a goto shows it at once.
      stream->pending.push_back("retry: 1000\n\n");
      if (last != "null") stream->pending.push_back("data: " + last + "\n\n");
      streams.insert(stream);
    }
    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, stream](size_t, httplib::DataSink& sink) { return Pump(*stream, sink); },
        [this, stream](bool) {
          std::lock_guard<std::mutex> lock(mutex);
          streams.erase(stream);
        });
  }

  void Route() {
    // cpp-httplib's default also sets SO_REUSEPORT, with which a second
    // host of the same user binds the same port and silently takes half
    // the pages' requests; a restart only needs SO_REUSEADDR.
    server.set_socket_options([](socket_t listening) {
      const int on = 1;
      setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server.set_read_timeout(kTimeoutSeconds);
    server.set_write_timeout(kTimeoutSeconds);
    server.set_keep_alive_timeout(kTimeoutSeconds);
    server.set_keep_alive_max_count(100);
    server.set_payload_max_length(4096);  // the page sends no bodies
    server.set_default_headers({
        {"X-Content-Type-Options", "nosniff"},
        {"Content-Security-Policy",
         "default-src 'self'; img-src * data:; style-src 'self' 'unsafe-inline'"},
    });
    // A page on another site that names this address through its own DNS
    // name (DNS rebinding) gets nothing.
    // Other users of this machine reach loopback too: their browsers get
    // nothing, so that they neither see the position nor take the streams.
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
          if (!HostAllowed(request.get_header_value("Host"))) {
            response.status = 421;
            response.set_content("navbeacon-maphost answers only " + url + "\n",
                                 "text/plain");
          } else if (IsLoopback(request.remote_addr) &&
                     SocketOwner(request.remote_addr, request.remote_port) !=
                         static_cast<long>(getuid())) {
            response.status = 403;
            response.set_content("navbeacon-maphost serves only its own user\n",
                                 "text/plain");
          } else {
            return httplib::Server::HandlerResponse::Unhandled;
          }
          return httplib::Server::HandlerResponse::Handled;
        });
    server.Get("/events", [this](const httplib::Request&, httplib::Response& response) {
      ServeEvents(response);
    });
    server.Get("/position", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex);
      response.set_header("Cache-Control", "no-store");
      response.set_content(last, "application/json");
    });
    server.Get("/config", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(config, "application/json");
    });
    // Only the files of the table: the request's path is a key, never a
    // file name.
    server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      const auto file = files.find(request.path);
      if (file == files.end()) {
        response.status = 404;
        response.set_content("not found\n", "text/plain");
        return;
      }
      response.set_header("Cache-Control", "no-cache");
      response.set_content(file->second.content, file->second.type);
    });
  }
};

bool ParseWebAddress(std::string_view text, WebOptions& options) {
  std::string address = "127.0.0.1";
  const size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    address = std::string(text.substr(0, colon));
    text.remove_prefix(colon + 1);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
      address = address.substr(1, address.size() - 2);
    } else if (address.find(':') != std::string::npos) {
      return false;  // an IPv6 address wants brackets
    }
  }
  int32_t port;
  if (!ParseInt32(text, port) || port < 0 || port > 65535) return false;
  if (!IsIpLiteral(HostPart(address))) return false;
  options.address = address;
  options.port = port;
  return true;
}

std::unique_ptr<WebBridge> WebBridge::Start(const WebOptions& options,
                                            std::string& error) {
  auto state = std::make_unique<State>();
  state->options = options;
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
    state->files[entry.path] = {std::move(content), entry.type};
  }
  const bool osm = options.tiles.empty();
  state->config = nlohmann::json{
      {"tiles", osm ? kOsmTiles : options.tiles},
      {"attribution", osm ? kOsmAttribution : ""}}.dump();

  state->Route();
  if (options.port == 0) {
    state->options.port = state->server.bind_to_any_port(options.address);
  } else if (!state->server.bind_to_port(options.address, options.port)) {
    state->options.port = -1;
  }
  if (state->options.port < 0) {
    error = "cannot listen on " + HostPart(options.address) + ":" +
            std::to_string(options.port) +
            ": another program may have the port (try another, or 0 for any"
            " free one), or the address is not this machine's";
    return nullptr;
  }
  const std::string port = std::to_string(state->options.port);
  const std::string host =
      IsWildcard(options.address) ? "127.0.0.1" : HostPart(options.address);
  state->url = "http://" + host + ":" + port + "/";
  state->hosts = {host + ":" + port};
  if (host == "127.0.0.1" || host == "[::1]") state->hosts.insert("localhost:" + port);
  if (port == "80") {
    std::set<std::string> bare;
    for (const std::string& name : state->hosts) bare.insert(name.substr(0, name.rfind(':')));
    state->hosts.merge(bare);
  }

  State* serving = state.get();
  state->listener = std::thread([serving] {
    serving->server.listen_after_bind();
    serving->listened = true;
  });
  // stop() only stops a server that has begun listening.
  for (int i = 0; i < 2000 && !state->server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return std::unique_ptr<WebBridge>(new WebBridge(std::move(state)));
}

WebBridge::WebBridge(std::unique_ptr<State> state) : state_(std::move(state)) {}

WebBridge::~WebBridge() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  state_->server.stop();
  // The server's workers end with their clients, and a client that keeps
  // trickling a request keeps its worker: the host does not wait for it
  // past kStopMs. The state stays for that worker, which the process's
  // exit ends.
  const int64_t deadline = MonotonicMs() + kStopMs;
  while (!state_->listened && RemainingMs(deadline) > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (state_->listened) {
    state_->listener.join();
  } else {
    state_->listener.detach();
    (void)state_.release();
  }
}

const std::string& WebBridge::url() const { return state_->url; }

BridgeReply WebBridge::Show(const MapGoto& where) {
  const std::string json = nlohmann::json{{"latitude", where.latitude},
                                          {"longitude", where.longitude},
                                          {"zoom", where.zoom},
                                          {"time", UtcNow()}}
                               .dump();
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->last = json;
    for (const auto& stream : state_->streams) {
      if (stream->pending.size() >= kMaxBehind) {
        stream->dropped = true;
        stream->pending.clear();
      } else {
        stream->pending.push_back("data: " + json + "\n\n");
      }
    }
  }
  state_->changed.notify_all();
  return {};
}
