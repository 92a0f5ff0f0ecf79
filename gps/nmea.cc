#include "gps/nmea.h"

#include <cstdint>
#include <cstdio>

std::string FrameNmeaSentence(std::string_view body) {
  // The checksum: the characters between "$" and "*", exclusive-ored.
  uint8_t sum = 0;
  for (char c : body) sum ^= static_cast<uint8_t>(c);
  char tail[8];
  snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  std::string sentence = "$";
  sentence.append(body);
  return sentence + tail;
}
