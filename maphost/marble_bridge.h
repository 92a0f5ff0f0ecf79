// navbeacon-maphost --marble: each goto centres a running Marble (KDE's
// virtual globe) through its interface on the session D-Bus.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>

#include "maphost/bridge.h"
#include "platform/cleanup.h"

// The error codes the bridge replies with: 20, as when --open's hand-off
// fails, for any failure but one that the user mends by starting Marble.
inline constexpr int32_t kMarbleFailed = 20;
inline constexpr int32_t kMarbleAbsent = 21;  // "Marble is not running"

// Marble's zoom for a slippy-map zoom level; navbeacon-maphost(1), under
// --marble, gives the formula, its table and how it was measured.
int32_t MarbleZoom(int32_t slippy_zoom);

// Whether Marble's centre shows the goto: within 1e-4 degrees each way,
// longitudes compared around the antimeridian (Marble reads -180 back as
// 180).
bool CentreShows(const MapGoto& where, double longitude, double latitude);

class MarbleBridge : public SlowBridge {
 public:
  MarbleBridge();
  ~MarbleBridge() override;
  // Sets Marble's zoom and centre and waits until the centre reads back at
  // the goto, all by `deadline` (Ctrl-C ends the wait). Nothing is sent
  // once the deadline has passed: the reply is then the timeout's.
  BridgeReply ShowBy(const MapGoto& where, int64_t deadline) override;
  int BoundMs() const override { return kShowBoundMs; }

  // Well inside navbeacon's 10 s bound for the whole exchange.
  static constexpr int kShowBoundMs = 4000;

 private:
  // Kept between gotos; dropped when it fails, and opened again at the
  // next goto, so that a restarted session bus is found again.
  Owned<sd_bus, sd_bus_close_unref> bus_;
};
