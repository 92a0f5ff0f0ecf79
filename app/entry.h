// The command's entry: --help, --version, the template, one run.
#pragma once

#include <span>

#include "app/exit_status.h"
#include "app/run_services.h"

// The version string embedded in the binary, for tools that look for it.
inline constexpr char kVersionString[] = "$VER: 1.0 (25.06.16) navbeacon";
// What --version prints.
inline constexpr char kVersionLine[] = "navbeacon " NAVBEACON_VERSION " (2016-06-25)";

inline constexpr char kUsageLine[] =
    "navbeacon DEVICE UNIT BAUDRATE [ZOOM n] [VERBOSE] [POSITION]";

// `words` is argv without the program name.
ExitStatus EntryMain(std::span<const char* const> words, RunServices& services);
