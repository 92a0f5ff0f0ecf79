// --follow[=SECONDS], the word before DEVICE that makes a run follow the
// receiver.
#pragma once

// SECONDS: the least time between two gotos.
inline constexpr int kDefaultFollowMs = 1000;
inline constexpr int kMinFollowMs = 100;
inline constexpr int kMaxFollowMs = 3600 * 1000;

// Whether `word` is --follow or --follow=SECONDS.
bool IsFollowOption(const char* word);
// Whether `word` is digits and points, as a SECONDS given after a space.
bool IsFollowSeconds(const char* word);

// SECONDS of --follow[=SECONDS] in milliseconds (kDefaultFollowMs without
// them): a decimal number from 0.1 to 3600 with at most 3 decimals, as in
// --follow=2.5. -EINVAL for anything else.
int ReadFollowOption(const char* word);
