// What the program's return code tells a script.
#pragma once

#include "platform/break.h"

enum ExitStatus {
  kExitMapCentred = 0,       // goto sent, the map application replied success
  kExitNoReceiver = 1,       // "No supported gps hardware found!"
  kExitWrongArguments = 2,   // "Wrong argument(s)!"
  kExitDamagedData = 3,      // no valid position in the receiver's text
  kExitNoMapPort = 4,        // the map application's port is missing
  kExitMapExchangeFailed = 5,  // error reply, host vanished, bad reply
  kExitFatal = kExitBreak,   // start-up failure or Ctrl-C
};
