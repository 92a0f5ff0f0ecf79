// --open: each goto shown by the desktop's own map (whatever handles geo:
// links, through xdg-open), or as the OpenStreetMap link in the browser
// when no map application is registered or the desktop's map failed.
#pragma once

#include <string>

#include "maphost/bridge.h"

// The code replied when the goto could not be handed to the desktop.
inline constexpr int32_t kHandOffFailed = 20;

class GeoBridge : public SlowBridge {
 public:
  // Asks xdg-mime for the desktop's geo: handler (2 s at most, and never
  // into xdg-open's second), then runs xdg-open and waits up to 1 s for
  // its status: success when it ends well or is still running (it may be
  // running the map itself), an error that says what failed otherwise,
  // the browser tried instead. A goto with less than xdg-open's second
  // left starts nothing and is answered "not shown within 4 s"; a failed
  // query is an error too, the browser given the link.
  BridgeReply ShowBy(const MapGoto& where, int64_t deadline) override;
  // The query, the desktop's map and the browser, each at its longest.
  int BoundMs() const override { return 4000; }
};
