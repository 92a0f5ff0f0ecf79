// What navbeacon-maphost hands a goto to: a live web map, Marble, or the
// desktop's geo: handler. Each bridge lives in a file of its own.
#pragma once

#include <cstdint>
#include <string>

// A goto as the host took it: finite, in range, checked before any bridge
// sees it.
struct MapGoto {
  double latitude;   // -90 to 90, north positive
  double longitude;  // -180 to 180, east positive
  int32_t zoom;      // the sender's slippy-map zoom level
};

// What became of a goto: code 0 when it was shown, otherwise the error
// code the host replies with and a text saying why (sent to the client as
// the error's text).
struct BridgeReply {
  int32_t code = 0;
  std::string text;
};

// One way of showing gotos. The host's port loop calls Show for each goto
// it has checked, one call at a time (never two at once), and replies with
// what the first failing bridge said, or success. Show must come back
// promptly: a hand-off that may take long (a program started for the
// user) is started and not waited for; a call to another program is
// bounded by a deadline of its own.
class MapBridge {
 public:
  virtual ~MapBridge() = default;
  virtual BridgeReply Show(const MapGoto& where) = 0;
};
