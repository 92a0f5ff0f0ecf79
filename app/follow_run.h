// Following the receiver: a goto for each new fix, until Ctrl-C or the
// end of a recording.
#pragma once

#include "app/command_args.h"
#include "app/exit_status.h"
#include "app/run_services.h"

// No new fix for this long is said once on standard error.
inline constexpr int kNoFixMs = 5000;
// How often a receiver that went away, gpsd, and a missing map
// application are tried again.
inline constexpr int kReopenTtyMs = 250;
// A device there that ends at once is tried ever less often, up to this.
inline constexpr int kMaxReopenTtyMs = 4000;
inline constexpr int kReconnectGpsdMs = 2000;
inline constexpr int kRetryMapMs = 250;

// Follows the receiver DEVICE names: the source stays open, and each new
// fix is sent to the map application as a goto, one in flight at a time,
// at most one every `interval_ms`; a newer fix replaces one still waiting
// to be sent. A recording is sent fix by fix, one every `interval_ms`. A
// receiver unplugged, gpsd restarting or the map application gone is
// waited for and said once on standard error, with the time; none of them
// ends the run. Ends on Ctrl-C (kInterrupted), or when a recording or a
// pipe ends: kMapCentred when its last goto was taken, else the status of
// that goto's failure (kDamagedData when it held no fix at all).
ExitStatus RunFollow(const CommandArgs& args, int interval_ms,
                     RunServices& services);
