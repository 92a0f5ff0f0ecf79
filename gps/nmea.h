// NMEA 0183 sentences as receivers send them: "$" body "*HH" CR LF.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The checksum of a sentence body (the characters between "$" and "*").
uint8_t NmeaChecksum(std::string_view body);

// The sentence as a receiver sends it: "$" body "*HH" CR LF.
std::string FrameNmeaSentence(std::string_view body);
