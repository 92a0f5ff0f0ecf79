// What the program's exit status tells a script.
#pragma once

enum class ExitStatus : int {
  kSuccess = 0,            // --help, --version
  kMapCentred = 0,         // goto sent, the map application replied success
  kNoReceiver = 1,         // "No supported gps hardware found!"
  kWrongArguments = 2,     // "Wrong argument(s)!"
  kDamagedData = 3,        // no valid position in the receiver's text
  kNoMapPort = 4,          // the map application's port is missing
  kMapExchangeFailed = 5,  // error reply, no reply, bad reply, timeout
  kOutputFailed = 6,       // standard output could not be written
  kInterrupted = 20,       // Ctrl-C: "***Break" on standard error
  kStartupFailed = 20,     // no large stack, or no USB stack library
};
