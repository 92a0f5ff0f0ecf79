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

std::string SatelliteSentences(bool fix) {
  return FrameNmeaSentence(fix ? "GPGSA,A,3,04,05,09,12,24,25,29,31,,,,,1.8,0.9,1.5"
                               : "GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99") +
         FrameNmeaSentence(
             "GPGSV,2,1,08,04,45,123,40,05,30,045,38,09,60,270,42,12,15,180,33") +
         FrameNmeaSentence(
             "GPGSV,2,2,08,24,52,310,44,25,22,090,36,29,70,020,45,31,10,200,30");
}
