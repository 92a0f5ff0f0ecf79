// Sends one command to a public ARexx port and waits for the reply.
#pragma once

#include "platform/rexx_message.h"

struct RexxCommandResult {
  // The host replied with rm_Result1 == 0. False when the port is missing,
  // the exchange failed or the host reported an error.
  bool host_success = false;
  // The host's result string: only when one was wanted and the host
  // succeeded. Owned by the caller.
  Argstring result;
};

// Sends `command` to the port `port_name` as argument 0 of a message
// addressed to that port, with the empty file extension and RXFF_RESULT
// when `want_result`, then sleeps until the host replies (or Ctrl-C).
RexxCommandResult SendRexxCommand(const char* port_name, const char* command,
                                  bool want_result);
