// Sends one command to a public port and waits for the reply.
#pragma once

#include "rexx/public_port.h"
#include "rexx/rexx_message.h"

struct RexxCommandResult {
  // How the exchange ended; kOk when the host replied.
  Exchange exchange = Exchange::kNoPort;
  // The host replied with rm_Result1 == 0. False when the port is missing,
  // the exchange failed or the host reported an error.
  bool host_success = false;
  int32_t result1 = 0;  // the host's code, when it replied
  // The host's result string: only when one was wanted and the host
  // succeeded. Owned by the caller.
  Argstring result;
  // The text the host sent with an error reply, if any.
  Argstring error_text;
  // With Exchange::kSystemError: the negative errno of what failed.
  int error = 0;
};

// Sends `command` to the port `port_name` as argument 0 of a message
// addressed to that port, with the empty file extension and RXFF_RESULT
// when `want_result`, then sleeps until the host replies. The whole
// exchange (connect, send, reply) ends after `timeout_ms` or on Ctrl-C;
// nothing is sent once a break is pending.
RexxCommandResult SendRexxCommand(const char* port_name, const char* command,
                                  bool want_result, int timeout_ms);

// The same on `port`, a connection FindPort made to `port_name`: the
// exchange ends at `deadline` (MonotonicMs).
RexxCommandResult SendRexxCommandOn(MsgPort& port, const char* port_name,
                                    const char* command, bool want_result,
                                    int64_t deadline);
