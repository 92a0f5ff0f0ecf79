#include "rexx/rexx_command.h"

#include <utility>

#include "platform/wait.h"

RexxCommandResult SendRexxCommand(const char* port_name, const char* command,
                                  bool want_result, int timeout_ms) {
  RexxCommandResult result;
  if (port_name == nullptr || command == nullptr) return result;
  const int64_t deadline = MonotonicMs() + timeout_ms;
  MsgPort port = FindPort(port_name, deadline);
  result.exchange = port.lookup;
  if (!port) return result;

  RexxMsg message;
  CreateRexxMsg(message, "", port_name);
  message.rm_Args[0] = command;
  if (want_result) message.rm_Action = RXFF_RESULT;
  result.exchange = PutMsg(port, message);
  if (result.exchange == Exchange::kOk) {
    result.exchange = WaitPort(port, deadline);
  }
  if (result.exchange == Exchange::kOk) {
    result.exchange = GetMsg(port, message);
  }
  if (result.exchange != Exchange::kOk) return result;
  result.result1 = message.rm_Result1;
  result.host_success = message.rm_Result1 == 0;
  if (!result.host_success) {
    result.error_text = std::move(message.rm_Result2);
  } else if (want_result) {
    result.result = std::move(message.rm_Result2);
  }
  return result;
}
