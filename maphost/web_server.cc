#include "maphost/web_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include <microhttpd.h>

#include "maphost/web_events.h"
#include "platform/scoped_fd.h"

namespace {

// Each connection's memory, the request's headers included: a larger
// header block is refused (431) and its connection closed.
constexpr size_t kConnectionMemory = 32 * 1024;
// Reading a request, writing, and an idle keep-alive each end after this.
constexpr unsigned kTimeoutSeconds = 5;
// The most connections at once, when the descriptor budget allows.
constexpr long kMaxConnections = 128;
// Descriptors the server and the hub hold besides their connections: the
// listening socket, the server's epoll and wake-up, the hub's two.
constexpr long kOwnDescriptors = 5;

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

}  // namespace

bool IsLoopback(const std::string& address) {
  return address.starts_with("127.") || address == "::1" ||
         address.starts_with("::ffff:127.");
}

// Whether `address` (as inet_ntop writes it) is one of this machine's own,
// on any interface: a peer there is a local program, whatever its
// address's kind.
bool IsOwnAddress(const std::string& address) {
  struct in_addr v4;
  struct in6_addr v6;
  const bool is_v4 = inet_pton(AF_INET, address.c_str(), &v4) == 1;
  if (!is_v4 && inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return true;  // unknown: taken as local
  bool own = false;
  for (const ifaddrs* entry = list; entry != nullptr && !own; entry = entry->ifa_next) {
    const sockaddr* at = entry->ifa_addr;
    if (at == nullptr) continue;
    if (is_v4 && at->sa_family == AF_INET) {
      own = reinterpret_cast<const sockaddr_in*>(at)->sin_addr.s_addr == v4.s_addr;
    } else if (!is_v4 && at->sa_family == AF_INET6) {
      own = memcmp(&reinterpret_cast<const sockaddr_in6*>(at)->sin6_addr, &v6,
                   sizeof v6) == 0;
    }
  }
  freeifaddrs(list);
  return own;
}

namespace {

// How many connections the web side may hold: half of the descriptors
// `ulimit -n` leaves, so that the message port always has its own; 0 when
// that is too few to serve a page.
unsigned ConnectionLimit(long& open_limit) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  open_limit = limit.rlim_cur == RLIM_INFINITY ? 1 << 20 : static_cast<long>(limit.rlim_cur);
  long open = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(fds)) open += entry->d_name[0] != '.';
    closedir(fds);
  }
  const long share = std::min(kMaxConnections, (open_limit - open - kOwnDescriptors) / 2);
  return share < 4 ? 0 : static_cast<unsigned>(share);
}

// A listening socket on address:port; `port` becomes the port bound.
ScopedFd Listen(const std::string& address, int& port) {
  sockaddr_storage storage{};
  socklen_t length;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v6;
  } else {
    return ScopedFd();
  }
  ScopedFd fd(socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  // Not SO_REUSEPORT, with which a second host of the same user binds the
  // same port and silently takes half the pages' requests.
  const int on = 1;
  if (!fd || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      listen(fd.get(), 64) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return ScopedFd();
  }
  port = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  return fd;
}

std::string_view Header(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

// Fetch Metadata: a browser says where a request comes from. Another
// site's page gets nothing; the user's own navigation from a link there
// still opens the page. Clients that do not say (curl, scripts) are served.
bool FromAnotherSite(MHD_Connection* connection) {
  const std::string_view site = Header(connection, "Sec-Fetch-Site");
  if (site.empty() || site == "same-origin" || site == "none") return false;
  return !(Header(connection, "Sec-Fetch-Mode") == "navigate" &&
           Header(connection, "Sec-Fetch-User") == "?1" &&
           Header(connection, "Sec-Fetch-Dest") == "document");
}

MHD_Result Send(MHD_Connection* connection, unsigned status, MHD_Response* response,
                const char* type, const char* cache, bool close) {
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", type);
  if (cache != nullptr) MHD_add_response_header(response, "Cache-Control", cache);
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy",
                          "default-src 'self'; img-src * data:; "
                          "style-src 'self' 'unsafe-inline'");
  if (close) MHD_add_response_header(response, "Connection", "close");
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result Text(MHD_Connection* connection, unsigned status, const std::string& text) {
  return Send(connection, status,
              MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()),
                                              MHD_RESPMEM_MUST_COPY),
              "text/plain; charset=utf-8", "no-store", status >= 400);
}

}  // namespace

struct WebServer::Handler {
  WebSite site;
  EventHub* hub;
  std::string url;
  std::set<std::string> hosts;  // the Host headers answered
  bool anywhere;                // listening on every address
  std::string port;
  long uid = static_cast<long>(getuid());

  // Host names are case-insensitive: "LocalHost:8080" names this host too.
  bool HostAllowed(std::string_view header) const {
    std::string host(header);
    for (char& c : host) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (hosts.count(host) != 0) return true;
    // Listening everywhere, any address names it; DNS rebinding needs a
    // name, so only names are refused.
    const std::string suffix = ":" + port;
    return anywhere && host.size() > suffix.size() && host.ends_with(suffix) &&
           IsIpLiteral(std::string_view(host).substr(0, host.size() - suffix.size()));
  }

  // Before a byte is read: a peer on this machine must be this user. TCP
  // carries no credentials; the kernel's table of sockets says whose the
  // peer's end is. Peers on other machines reach a host only when the user
  // asked to listen there.
  static MHD_Result Admit(void* cls, const sockaddr* peer, socklen_t) {
    const Handler& handler = *static_cast<const Handler*>(cls);
    char address[INET6_ADDRSTRLEN] = "";
    int port = 0;
    if (peer->sa_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(peer);
      inet_ntop(AF_INET, &v4->sin_addr, address, sizeof address);
      port = ntohs(v4->sin_port);
    } else if (peer->sa_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(peer);
      inet_ntop(AF_INET6, &v6->sin6_addr, address, sizeof address);
      port = ntohs(v6->sin6_port);
    } else {
      return MHD_NO;
    }
    const long owner = SocketOwner(address, port);
    // Not in the kernel's tables though it is this machine's: refused, as
    // anything that cannot be shown to be the user's.
    if (owner < 0) return IsLoopback(address) || IsOwnAddress(address) ? MHD_NO : MHD_YES;
    return owner == handler.uid ? MHD_YES : MHD_NO;
  }

  static MHD_Result Answer(void* cls, MHD_Connection* connection, const char* path,
                           const char* method, const char*, const char*,
                           size_t* upload_size, void** context) {
    Handler& handler = *static_cast<Handler*>(cls);
    // Called first with the headers, then for the body and its end: a
    // refusal goes at once, an answer once the request is whole, so that
    // its connection may serve the next.
    const bool whole = *context != nullptr && *upload_size == 0;
    *upload_size = 0;  // the page sends no bodies; any is ignored
    // A page on another site that names this address through its own DNS
    // name (DNS rebinding) gets nothing.
    if (!handler.HostAllowed(Header(connection, "Host"))) {
      return Text(connection, 421, "navbeacon-maphost answers only " + handler.url + "\n");
    }
    if (FromAnotherSite(connection)) {
      return Text(connection, 403, "navbeacon-maphost serves only its own page\n");
    }
    const std::string_view verb = method;
    if (verb != "GET" && verb != "HEAD") {
      return Text(connection, 405, "navbeacon-maphost serves only GET and HEAD\n");
    }
    if (!whole) {
      *context = &handler;
      return MHD_YES;
    }
    const std::string_view where = path;
    if (where == "/events") {
      MHD_Response* stream = handler.hub->OpenStream(connection);
      if (stream == nullptr) {
        return Text(connection, 503, "navbeacon-maphost: too many open maps; close one\n");
      }
      return Send(connection, 200, stream, "text/event-stream", "no-store", false);
    }
    if (where == "/position") {
      const std::string last = handler.hub->Last();
      return Send(connection, 200,
                  MHD_create_response_from_buffer(last.size(), const_cast<char*>(last.data()),
                                                  MHD_RESPMEM_MUST_COPY),
                  "application/json", "no-store", false);
    }
    // Only the files of the table: the request's path is a key, never a
    // file name.
    const auto found = handler.site.files.find(std::string(where));
    if (found == handler.site.files.end()) return Text(connection, 404, "not found\n");
    const WebFile* file = &found->second;
    return Send(connection, 200,
                MHD_create_response_from_buffer(file->content.size(),
                                                const_cast<char*>(file->content.data()),
                                                MHD_RESPMEM_PERSISTENT),
                file->type, "no-cache", false);
  }
};

std::unique_ptr<WebServer> WebServer::Start(const std::string& address, int port,
                                            WebSite site, EventHub& hub,
                                            std::string& error) {
  std::unique_ptr<WebServer> server(new WebServer);
  long open_limit = 0;
  server->connection_limit_ = ConnectionLimit(open_limit);
  if (server->connection_limit_ == 0) {
    error = "too few descriptors left for the web map (ulimit -n is " +
            std::to_string(open_limit) + "): raise it, e.g. ulimit -n 1024";
    return nullptr;
  }
  ScopedFd listening = Listen(address, port);
  if (!listening) {
    error = "cannot listen on " + HostPart(address) + ":" + std::to_string(port) +
            ": another program may have the port (try another, or 0 for any"
            " free one), or the address is not this machine's";
    return nullptr;
  }
  auto handler = std::make_unique<Handler>();
  handler->site = std::move(site);
  handler->hub = &hub;
  handler->anywhere = IsWildcard(address);
  handler->port = std::to_string(port);
  std::string host = handler->anywhere ? "127.0.0.1" : HostPart(address);
  for (char& c : host) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  handler->url = "http://" + host + ":" + handler->port + "/";
  handler->hosts = {host + ":" + handler->port};
  if (host == "127.0.0.1" || host == "[::1]") handler->hosts.insert("localhost:" + handler->port);
  if (port == 80) {
    std::set<std::string> bare;
    for (const std::string& name : handler->hosts) bare.insert(name.substr(0, name.rfind(':')));
    handler->hosts.merge(bare);
  }
  const unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME |
                         (address.find(':') != std::string::npos ? MHD_USE_IPv6 : 0);
  server->daemon_.reset(MHD_start_daemon(
      flags, 0, &Handler::Admit, handler.get(), &Handler::Answer, handler.get(),
      MHD_OPTION_LISTEN_SOCKET, listening.get(),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_CONNECTION_LIMIT, server->connection_limit_,
      MHD_OPTION_CONNECTION_TIMEOUT, kTimeoutSeconds,
      MHD_OPTION_END));
  if (server->daemon_ == nullptr) {
    error = "cannot start the web map's server on " + handler->url +
            ": too few descriptors or threads? (ulimit -n, ulimit -u)";
    return nullptr;
  }
  listening.release();  // the server's, closed when it stops
  server->url_ = handler->url;
  server->handler_ = std::move(handler);
  return server;
}

WebServer::~WebServer() = default;

namespace {

long OwnerIn(const char* table, const char* key) {
  std::ifstream in(table);
  std::string line, slot, local, remote, state, queues, timer, retransmits;
  long uid;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    // A connection that ended (TIME_WAIT) is listed as root's.
    if (fields >> slot >> local >> remote >> state >> queues >> timer >>
            retransmits >> uid &&
        local == key && state != "06") {
      return uid;
    }
  }
  return -1;
}

}  // namespace

long SocketOwner(std::string address, int port) {
  // An IPv4 peer of a socket listening on :: is named in IPv4's form.
  if (address.starts_with("::ffff:") && address.find('.') != std::string::npos) {
    address.erase(0, 7);
  }
  char key[48];
  struct in_addr v4;
  struct in6_addr v6;
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    snprintf(key, sizeof key, "%08X:%04X", v4.s_addr, port);
    const long owner = OwnerIn("/proc/net/tcp", key);
    if (owner >= 0) return owner;
    // An IPv6 socket connected to an IPv4 address is listed with IPv6's,
    // at the IPv4-mapped form of its address.
    v6 = in6_addr{};
    v6.s6_addr[10] = v6.s6_addr[11] = 0xff;
    memcpy(&v6.s6_addr[12], &v4, sizeof v4);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) {
    return -1;
  }
  uint32_t words[4];
  memcpy(words, &v6, sizeof words);
  snprintf(key, sizeof key, "%08X%08X%08X%08X:%04X", words[0], words[1], words[2],
           words[3], port);
  return OwnerIn("/proc/net/tcp6", key);
}
