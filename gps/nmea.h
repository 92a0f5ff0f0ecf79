// NMEA 0183 framing: "$" body "*" two hex digits, then CR, LF or the end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The checksum of a sentence body (the characters between "$" and "*").
uint8_t NmeaChecksum(std::string_view body);

// The sentence as a receiver sends it: "$" body "*HH" CR LF.
std::string FrameNmeaSentence(std::string_view body);

// Calls `sentence(body)` for every well-framed sentence of `text` whose
// checksum matches, in order. A line is cut at CR or LF; text before the
// last "$" of a line is noise; a line whose "*HH" is missing, wrong or
// followed by anything but the line end holds no sentence. Bodies with
// control or non-ASCII characters are dropped: noise on the line.
template <typename Fn>
void ForEachNmeaSentence(std::string_view text, Fn&& sentence);

// --- implementation ---------------------------------------------------------

bool NmeaFrame(std::string_view line, std::string_view& body);

template <typename Fn>
void ForEachNmeaSentence(std::string_view text, Fn&& sentence) {
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view()
                                         : text.substr(end + 1);
    std::string_view body;
    if (NmeaFrame(line, body)) sentence(body);
  }
}
