// The map host's side of its public port: every client served at once,
// each goto checked and handed to the enabled bridges in turn, the slow
// ones on threads of their own, so that a map that is slow to answer holds
// no client but the one whose goto it is showing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "maphost/bridge.h"
#include "rexx/goto_text.h"
#include "rexx/public_port.h"

// The code replied to a goto that a newer one took the place of before a
// bridge could show it.
inline constexpr int32_t kGotoSuperseded = 11;

struct PortLoopOptions {
  bool fields = false;  // print every field of each message
  bool reply = true;    // false: take each message and never answer it
  int32_t error = 0;    // reply with this code and no result instead of "OK"
  long count = -1;      // commands to take before ending; -1: no limit
};

// Each enabled bridge, in the order they are called.
using MapBridges = std::vector<std::unique_ptr<MapBridge>>;

// Serves `port` until Ctrl-C (or a signal caught as a break) or until
// `options.count` commands have been taken, and then until the gotos still
// with a bridge have been answered. Prints each command with the time, and
// for a goto the OpenStreetMap link; replies with what the first failing
// bridge said, or 0 and "OK". Commands other than goto are answered at
// once. A goto that still waits for a slow bridge when a newer one comes
// is answered kGotoSuperseded, "superseded by a newer goto".
void RunPortLoop(HostPort& port, const PortLoopOptions& options,
                 MapBridges& bridges);
