// The map application's goto command.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rexx/goto_text.h"
#include "rexx/public_port.h"
#include "rexx/rexx_command.h"

// The map application's public port.
inline constexpr char kMapPortName[] = "KARTOVELL.1";

// How long the whole exchange with the map application may take.
inline constexpr int kMapReplyTimeoutMs = 10000;

enum class GotoOutcome {
  kSent,         // the application replied success
  kNoPort,       // no such port; the message has been printed
  kInterrupted,  // Ctrl-C; nothing more was sent
  kFailed,       // the port was there but the exchange failed: see reply
};

struct GotoResult {
  GotoOutcome outcome = GotoOutcome::kFailed;
  RexxCommandResult reply;  // how the exchange went, for kFailed
  PortAbsence absence = PortAbsence::kNone;  // why, for kNoPort
};

// What a run that finds no map application says on standard output;
// false when it cannot be written.
bool PrintNoMapPort();

// Tells the map application to show the position at the zoom level and
// waits for its reply, on the connection that found its port; the whole
// exchange takes `bound_ms` at most. A missing port is said on standard
// output unless `say_no_port` is false.
GotoResult SendGotoCommand(int32_t zoom, double latitude, double longitude,
                           int bound_ms = kMapReplyTimeoutMs,
                           bool say_no_port = true);
