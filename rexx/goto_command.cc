#include "rexx/goto_command.h"

#include "platform/console.h"
#include "platform/wait.h"

bool PrintNoMapPort() {
  return Print("No ARexx Port found!\nYou must start Kartovell first.\n");
}

GotoResult SendGotoCommand(int32_t zoom, double latitude, double longitude,
                           int bound_ms, bool say_no_port) {
  GotoResult result;
  const int64_t deadline = MonotonicMs() + bound_ms;
  MsgPort port = FindPort(kMapPortName, deadline);
  if (port.lookup == Exchange::kNoPort) {
    result.absence = port.absence;
    result.outcome = !say_no_port || PrintNoMapPort() ? GotoOutcome::kNoPort
                                                      : GotoOutcome::kInterrupted;
    return result;
  }
  char command[100] = {};
  FormatGotoCommand(command, sizeof command, latitude, longitude, zoom);
  // The result string is not used; it goes with `result`.
  result.reply = SendRexxCommandOn(port, kMapPortName, command, true, deadline);
  if (result.reply.host_success) {
    result.outcome = GotoOutcome::kSent;
  } else if (result.reply.exchange == Exchange::kInterrupted) {
    result.outcome = GotoOutcome::kInterrupted;
  } else {
    result.outcome = GotoOutcome::kFailed;
  }
  return result;
}
