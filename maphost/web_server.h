// The web map's HTTP server (libmicrohttpd): one polling thread for every
// connection, each bounded in memory and time. Other users of this machine
// are refused before a byte of theirs is read; a page of another site gets
// 403 for anything; only the fixed file table, /position, /config and
// /events are served.
#pragma once

#include <microhttpd.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/cleanup.h"

class EventHub;

struct WebFile {
  std::string content;
  const char* type;
};

// What the server serves besides /position and /events: a fixed table.
struct WebSite {
  std::map<std::string, WebFile> files;  // by request path
};

class WebServer {
 public:
  // Listens on `address` (an IP literal) and `port` (0: one the system
  // picks) and serves `site` and the hub's streams; nullptr, with what went
  // wrong and what to try in `error`, when it cannot. The hub must outlive
  // the server.
  static std::unique_ptr<WebServer> Start(const std::string& address, int port,
                                          WebSite site, EventHub& hub,
                                          std::string& error);
  ~WebServer();  // closes every connection at once

  const std::string& url() const { return url_; }  // e.g. http://127.0.0.1:41234/
  unsigned connection_limit() const { return connection_limit_; }

  struct Handler;

 private:
  WebServer() = default;
  std::unique_ptr<Handler> handler_;
  // Stopped before the handler it calls goes.
  Owned<MHD_Daemon, MHD_stop_daemon> daemon_;
  std::string url_;
  unsigned connection_limit_ = 0;
};

// Whether `address` (an IP literal) is a loopback address: a map there is
// not reachable from other machines.
bool IsLoopback(const std::string& address);

// The user owning the TCP socket at `address`:`port` of this machine, as
// the kernel lists it in /proc/net/tcp or tcp6 (an IPv4 address is
// looked for in both, as itself and IPv4-mapped); -1 when no socket of this machine is there, as for a
// peer on another machine.
long SocketOwner(std::string address, int port);
