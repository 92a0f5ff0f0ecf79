// The explanations a failed run leaves on standard error: what happened,
// with the facts that tell why (the path, the errno's words, the program
// holding the device, the owner and mode), and what to try. What they
// learn of the machine they ask of RunServices.
#pragma once

#include <cstdint>
#include <string_view>

#include "app/run_services.h"
#include "gps/receivers.h"

// The device at report.path could not be opened; `receiver`, when known,
// is the supported receiver on the bus, whose tty is then named.
void ExplainOpenFailure(const SnapshotReport& report,
                        const SupportedReceiver* receiver,
                        RunServices& services);

// The text read held no position: the first reason that applies. A
// `recording` (a regular file or a FIFO) and text relayed `through_gpsd`
// have no line speed of ours to blame.
void ExplainNoPosition(const SnapshotReport& report, std::string_view text,
                       uint32_t baud, bool recording, bool through_gpsd,
                       RunServices& services);

// No supported receiver is on the bus (or the search failed with
// `search_error`): which were looked for, and whether DEVICE with UNIT
// names anything at all (a mistyped recording reaches here).
void ExplainNoReceiver(const char* device, int32_t unit, int search_error,
                       RunServices& services);

// The map application's port is missing, stale, another user's, too long
// a path, or in a directory that is not trusted.
void ExplainMissingPort(PortAbsence absence, RunServices& services);

// The map application did not take the goto.
void ExplainFailedGoto(const RexxCommandResult& reply);
