// The command's entry: --help, --version, the template, one run.
#pragma once

#include <span>

#include "app/position_run.h"

inline constexpr char kVersionString[] = "$VER: 1.0 (25.06.16) navbeacon";

// `words` is argv without the program name. Returns the exit status.
int EntryMain(std::span<const char* const> words, RunServices& services);

// The usage text of --help.
void PrintUsage();
