#include "rexx/goto_command.h"

#include <cstdio>

#include "platform/console.h"
#include "platform/public_port.h"
#include "rexx/rexx_command.h"

GotoOutcome SendGotoCommand(int32_t zoom, double latitude, double longitude) {
  {
    MsgPort probe = FindPort(kMapPortName);
    if (probe.lookup == PortLookup::kNotFound) {
      Printf("No ARexx Port found!\nYou must start Kartovell first.\n");
      return GotoOutcome::kNoPort;
    }
    if (!probe) return GotoOutcome::kFailed;
  }
  char command[1000] = {};
  snprintf(command, sizeof command, "goto %g %g %d", latitude, longitude,
           static_cast<int>(zoom));
  RexxCommandResult reply = SendRexxCommand(kMapPortName, command, true);
  // The result string is not used; it goes with `reply`.
  return reply.host_success ? GotoOutcome::kSent : GotoOutcome::kFailed;
}
