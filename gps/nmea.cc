#include "gps/nmea.h"

#include <cstdio>

uint8_t NmeaChecksum(std::string_view body) {
  uint8_t sum = 0;
  for (char c : body) sum ^= static_cast<uint8_t>(c);
  return sum;
}

std::string FrameNmeaSentence(std::string_view body) {
  char tail[8];
  snprintf(tail, sizeof tail, "*%02X\r\n", NmeaChecksum(body));
  std::string sentence = "$";
  sentence.append(body);
  return sentence + tail;
}
