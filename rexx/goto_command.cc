#include "rexx/goto_command.h"

#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/wait.h"

namespace {

// "%.6f" without its trailing zeros and point; never "-0".
void FormatDegrees(char* text, size_t size, double degrees) {
  snprintf(text, size, "%.6f", degrees);
  char* end = text + strlen(text);
  while (end > text && end[-1] == '0') *--end = '\0';
  if (end > text && end[-1] == '.') *--end = '\0';
  if (strcmp(text, "-0") == 0) snprintf(text, size, "0");
}

}  // namespace

bool PrintNoMapPort() {
  return Print("No ARexx Port found!\nYou must start Kartovell first.\n");
}

void FormatGotoCommand(char* text, size_t size, double latitude,
                       double longitude, int32_t zoom) {
  char lat[32], lon[32];
  FormatDegrees(lat, sizeof lat, latitude);
  FormatDegrees(lon, sizeof lon, longitude);
  snprintf(text, size, "goto %s %s %d", lat, lon, static_cast<int>(zoom));
}

GotoResult SendGotoCommand(int32_t zoom, double latitude, double longitude,
                           int bound_ms, bool say_no_port) {
  GotoResult result;
  const int64_t deadline = MonotonicMs() + bound_ms;
  {
    MsgPort probe = FindPort(kMapPortName, deadline);
    if (probe.lookup == Exchange::kNoPort) {
      result.absence = probe.absence;
      result.outcome = !say_no_port || PrintNoMapPort()
                           ? GotoOutcome::kNoPort
                           : GotoOutcome::kInterrupted;
      return result;
    }
    if (!probe) {
      result.reply.exchange = probe.lookup;
      result.outcome = probe.lookup == Exchange::kInterrupted
                           ? GotoOutcome::kInterrupted
                           : GotoOutcome::kFailed;
      return result;
    }
  }
  char command[1000] = {};
  FormatGotoCommand(command, sizeof command, latitude, longitude, zoom);
  // The result string is not used; it goes with `result`.
  result.reply =
      SendRexxCommand(kMapPortName, command, true, RemainingMs(deadline));
  if (result.reply.host_success) {
    result.outcome = GotoOutcome::kSent;
  } else if (result.reply.exchange == Exchange::kInterrupted) {
    result.outcome = GotoOutcome::kInterrupted;
  } else {
    result.outcome = GotoOutcome::kFailed;
  }
  return result;
}
