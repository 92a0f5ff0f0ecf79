#include "gps/nmea.h"

#include <cstdio>

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

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

bool NmeaFrame(std::string_view line, std::string_view& body) {
  size_t dollar = line.rfind('$');
  if (dollar == std::string_view::npos) return false;
  std::string_view sentence = line.substr(dollar);
  // "$" + body + "*HH"
  if (sentence.size() < 4 || sentence[sentence.size() - 3] != '*') {
    return false;
  }
  int high = HexDigit(sentence[sentence.size() - 2]);
  int low = HexDigit(sentence[sentence.size() - 1]);
  if (high < 0 || low < 0) return false;
  std::string_view candidate = sentence.substr(1, sentence.size() - 4);
  for (char c : candidate) {
    if (c < 0x20 || c > 0x7e || c == '*') return false;
  }
  if (NmeaChecksum(candidate) != high * 16 + low) return false;
  body = candidate;
  return true;
}
