#include "app/follow_option.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

bool IsFollowOption(const char* word) {
  return strcmp(word, "--follow") == 0 || strncmp(word, "--follow=", 9) == 0;
}

bool IsFollowSeconds(const char* word) {
  return word[0] != '\0' && strspn(word, "0123456789.") == strlen(word);
}

int ReadFollowOption(const char* word) {
  if (strcmp(word, "--follow") == 0) return kDefaultFollowMs;
  // Digits with at most one point and at most 3 decimals (milliseconds):
  // no sign, exponent, hex, inf or nan.
  const char* text = word + strlen("--follow=");
  const char* point_at = strchr(text, '.');
  if (point_at != nullptr && strlen(point_at + 1) > 3) return -EINVAL;
  int64_t whole = 0, fraction_ms = 0, scale = 100;
  bool digits = false, point = false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '.' && !point) {
      point = true;
    } else if (*c >= '0' && *c <= '9') {
      digits = true;
      if (!point && whole <= kMaxFollowMs) whole = whole * 10 + (*c - '0');
      if (point) fraction_ms += (*c - '0') * scale;
      if (point) scale /= 10;
    } else {
      return -EINVAL;
    }
  }
  const int64_t ms = whole * 1000 + fraction_ms;
  if (!digits || ms < kMinFollowMs || ms > kMaxFollowMs) return -EINVAL;
  return static_cast<int>(ms);
}
