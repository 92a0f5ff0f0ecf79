// --open: each goto shown by the desktop's own map (whatever handles geo:
// links, through xdg-open), or as the OpenStreetMap link in the browser
// when no map application is registered.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "maphost/bridge.h"

// The code replied when the goto could not be handed to the desktop.
inline constexpr int32_t kHandOffFailed = 20;

// The OpenStreetMap page centred on the position at its zoom, with a
// marker; what the host prints for every goto.
std::string OpenStreetMapLink(const MapGoto& where);

class GeoBridge : public MapBridge {
 public:
  ~GeoBridge() override;
  // Starts xdg-open and does not wait for it: a desktop's map or browser
  // may take many seconds to come up, and the sender waits for the reply.
  BridgeReply Show(const MapGoto& where) override;

 private:
  // Collects the xdg-open processes that have ended, without waiting.
  void Reap();
  std::vector<pid_t> started_;
};
