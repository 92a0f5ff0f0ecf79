// What navbeacon-maphost hands a goto to: a live web map, Marble, or the
// desktop's geo: handler. Each bridge lives in a file of its own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/wait.h"
#include "rexx/goto_text.h"

// What became of a goto: code 0 when it was shown, otherwise the error
// code the host replies with and a text saying why (sent to the client as
// the error's text).
struct BridgeReply {
  int32_t code = 0;
  std::string text;
};

// One way of showing gotos. The host's port loop hands each goto it has
// checked to the enabled bridges in turn, one goto at a time per bridge,
// and replies with what the first failing bridge said, or success. A
// MapBridge's Show is called on the port loop itself and must come back at
// once (the web map publishes the goto and returns).
class MapBridge {
 public:
  virtual ~MapBridge() = default;
  virtual BridgeReply Show(const MapGoto& where) = 0;
};

// A bridge that waits on another program (Marble over D-Bus, the desktop's
// opener) and so runs off the port loop, on a thread of its own
// (maphost/bridge_worker.h), where ShowBy is called one goto at a time. A
// goto that arrives while an older one still waits for the bridge takes
// its place; the older one is answered as superseded.
class SlowBridge : public MapBridge {
 public:
  // Shows the goto, giving up at `deadline` (MonotonicMs), which is
  // BoundMs() after the goto arrived, however long it waited for the
  // bridge.
  virtual BridgeReply ShowBy(const MapGoto& where, int64_t deadline) = 0;
  virtual int BoundMs() const = 0;
  BridgeReply Show(const MapGoto& where) final {
    return ShowBy(where, MonotonicMs() + BoundMs());
  }
};
