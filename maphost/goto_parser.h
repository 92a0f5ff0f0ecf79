// The goto command as the map host reads it: exactly as navbeacon writes
// it (rexx/goto_command.h), "goto LAT LON ZOOM", and in range.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "maphost/bridge.h"

// The code replied to a goto that is malformed or out of range; no bridge
// sees it.
inline constexpr int32_t kGotoRefused = 10;

// Whether the command's first word is goto, in any case: such a command
// is either taken as the goto navbeacon sends, or refused.
bool IsGoto(std::string_view command);

// The goto exactly as navbeacon sends it: "goto LAT LON ZOOM", single
// spaces, decimal degrees in fixed notation, a whole zoom, nothing after;
// latitude -90 to 90 and longitude -180 to 180. False with the reason in
// `why`.
bool ParseGoto(std::string_view command, MapGoto& where, std::string& why);
