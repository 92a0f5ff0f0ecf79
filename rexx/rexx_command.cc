#include "rexx/rexx_command.h"

#include <utility>

#include "platform/wait.h"

RexxCommandResult SendRexxCommand(const char* port_name, const char* command,
                                  bool want_result, int timeout_ms) {
  if (port_name == nullptr || command == nullptr) return RexxCommandResult();
  const int64_t deadline = MonotonicMs() + timeout_ms;
  MsgPort port = FindPort(port_name, deadline);
  return SendRexxCommandOn(port, port_name, command, want_result, deadline);
}

RexxCommandResult SendRexxCommandOn(MsgPort& port, const char* port_name,
                                    const char* command, bool want_result,
                                    int64_t deadline) {
  RexxCommandResult result;
  result.exchange = port.lookup;
  if (port) {
    RexxMsg message;
    CreateRexxMsg(message, "", port_name);
    message.rm_Args[0] = command;
    if (want_result) message.rm_Action = RXFF_RESULT;
    result.exchange = PutMsg(port, message);
    if (result.exchange == Exchange::kOk) result.exchange = WaitPort(port, deadline);
    if (result.exchange == Exchange::kOk) result.exchange = GetMsg(port, message);
    if (result.exchange == Exchange::kOk) {
      result.result1 = message.rm_Result1;
      result.host_success = message.rm_Result1 == 0;
      if (!result.host_success) {
        result.error_text = std::move(message.rm_Result2);
      } else if (want_result) {
        result.result = std::move(message.rm_Result2);
      }
    }
  }
  if (result.exchange == Exchange::kSystemError) result.error = port.error;
  return result;
}
