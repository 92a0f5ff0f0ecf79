// One position update: receiver check, snapshot, position, goto.
#pragma once

#include <cstdint>

#include "app/command_args.h"
#include "app/exit_status.h"
#include "app/run_services.h"
#include "gps/receivers.h"

// Runs the update and returns the exit status. Every outcome other than
// success is explained on standard error; an interrupt is returned, not
// reported. Allocates nothing on the heap on its way to the goto.
ExitStatus RunPositionUpdate(const CommandArgs& args, RunServices& services);

// The checks made before the receiver is read: a gpsd name that parses,
// with UNIT 0, and a supported receiver on the bus when DEVICE may be a
// receiver's tty (`on_bus`; `receiver` is the one found). kSuccess when the
// run may go on; otherwise the status, its message printed and explained.
// A tty that is not on the USB bus is said once, and its kind is left in
// `off_bus` when asked for. With `absent_ok`, no supported receiver on the
// bus is kSuccess (with no `receiver`) when DEVICE is not there either:
// the caller waits for it.
ExitStatus CheckBeforeReading(const CommandArgs& args, RunServices& services,
                              const SupportedReceiver*& receiver,
                              bool& on_bus, const char** off_bus = nullptr,
                              bool absent_ok = false);

// POSITION's line; false when a break is pending.
bool PrintPosition(double latitude, double longitude);

// The C library's atoi, but saturating instead of overflowing: leading
// blanks and a sign are accepted, conversion stops at the first non-digit,
// and text without digits gives 0.
int32_t AsciiToInt(const char* text);
