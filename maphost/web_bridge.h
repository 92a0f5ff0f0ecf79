// The live web map: navbeacon-maphost --web serves one page that follows
// every goto (Leaflet from Debian's libjs-leaflet, tiles from a tile
// server), a Server-Sent Events stream of the gotos and the last goto as
// JSON.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "maphost/bridge.h"

struct WebOptions {
  std::string address = "127.0.0.1";  // an IP literal, IPv6 without brackets
  int port = 0;                       // 0: one the system picks
  std::string tiles;                  // a URL template; empty: OpenStreetMap's
  std::string attribution;            // the tile server's, as plain text
};

// --web's [ADDRESS:]PORT, IPv6 addresses in brackets ([::1]:8080): 0, or
// -EINVAL when it is not that or ADDRESS is not an IP address.
int ParseWebAddress(std::string_view text, WebOptions& options);

// --tiles's URL template: 0, or -EINVAL with `why` naming the placeholder
// when it holds one the page cannot fill ({s} {z} {x} {y} {r} and {-y} it
// can, spaces around the name allowed) or a brace left unclosed.
int CheckTileTemplate(const std::string& tiles, std::string& why);

class WebBridge : public MapBridge {
 public:
  // Loads the page's files and starts serving them; nullptr, with what
  // went wrong and what to try in `error`, when it cannot.
  static std::unique_ptr<WebBridge> Start(const WebOptions& options,
                                          std::string& error);
  ~WebBridge() override;  // ends every stream and connection at once

  // Publishes the goto to every open page and for /position; never waits
  // on a browser.
  BridgeReply Show(const MapGoto& where) override;

  // Where the page is, e.g. http://127.0.0.1:41234/
  const std::string& url() const;

  struct State;

 private:
  explicit WebBridge(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};
