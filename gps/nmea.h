// NMEA 0183 sentences as receivers send them: "$" body "*HH" CR LF.
#pragma once

#include <string>
#include <string_view>

// The sentence as a receiver sends it: "$" body "*HH" CR LF.
std::string FrameNmeaSentence(std::string_view body);

// A receiver's satellite report for a simulated burst: GSA and two GSV
// sentences, framed, for eight satellites in view; without `fix`, GSA
// says none is used (mode 1, no fix).
std::string SatelliteSentences(bool fix = true);
