#include "rexx/rexx_command.h"

#include <utility>

#include "platform/public_port.h"

RexxCommandResult SendRexxCommand(const char* port_name, const char* command,
                                  bool want_result) {
  RexxCommandResult result;
  if (port_name == nullptr || command == nullptr) return result;
  MsgPort port = FindPort(port_name);
  if (!port) return result;

  RexxMsg message;
  CreateRexxMsg(message, "", port_name);
  message.rm_Args[0] = command;
  if (want_result) message.rm_Action = RXFF_RESULT;
  if (!PutMsg(port, message) || !WaitPort(port) || !GetMsg(port, message)) {
    return result;
  }
  result.host_success = message.rm_Result1 == 0;
  if (want_result && result.host_success) {
    result.result = std::move(message.rm_Result2);
  }
  return result;
}
