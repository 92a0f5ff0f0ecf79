// The map application's goto command.
#pragma once

#include <cstdint>

// The map application's public port.
inline constexpr char kMapPortName[] = "KARTOVELL.1";

enum class GotoOutcome {
  kSent,     // the application replied success
  kNoPort,   // no such port; the message has been printed
  kFailed,   // the port was there but the exchange failed (or Ctrl-C)
};

// Tells the map application to show the position at the zoom level, with
// "goto %g %g %d", and waits for its reply.
GotoOutcome SendGotoCommand(int32_t zoom, double latitude, double longitude);
