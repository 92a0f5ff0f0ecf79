#include "gps/nmea_window.h"

#include <cstring>

#include "gps/position.h"

WindowText::WindowText(NmeaBuffer& buffer)
    : buffer_(buffer), length_(strnlen(buffer.text, kNmeaBufferSize - 1)),
      line_start_(length_) {
  buffer_.text[length_] = '\0';
}

bool WindowText::Append(std::string_view first, std::string_view second,
                        WindowEnd& end) {
  for (std::string_view bytes : {first, second}) {
    for (size_t i = 0; i < bytes.size() && room() > 0; ++i) {
      if (bytes[i] != '\0') buffer_.text[length_++] = bytes[i];
    }
  }
  buffer_.text[length_] = '\0';
  // A sentence never spans a line end, so whole lines before the current
  // one need no second look.
  std::string_view rest(buffer_.text + line_start_, length_ - line_start_);
  double latitude, longitude;
  if (ParseRmcPosition(rest, latitude, longitude)) {
    end = WindowEnd::kPosition;
    return true;
  }
  const size_t line_end = rest.find_last_of("\r\n");
  if (line_end != std::string_view::npos) line_start_ += line_end + 1;
  if (room() > 0) return false;
  end = WindowEnd::kFull;  // the rest stays unread
  return true;
}
