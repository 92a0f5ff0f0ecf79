// What the benchmarks share: the wall clock their peers log against, and
// how a series of delays is summed up.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <vector>

// CLOCK_REALTIME in ns: the clock a receiver's log and the bench share.
inline int64_t RealtimeNs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

struct Stats {
  double median, p95, max;
};

// The median, 95th percentile and largest of at least one value.
inline Stats Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  auto at = [&](double q) {
    return values[std::min(values.size() - 1, static_cast<size_t>(q * values.size()))];
  };
  return {at(0.5), at(0.95), values.back()};
}
