#include "rexx/goto_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <random>

namespace {

// Every goto FormatGotoCommand writes, from the poles and the antimeridian
// to the smallest step, every zoom and a sweep of the globe, is written in
// fixed notation with six decimals at most and never "-0", and ParseGoto
// takes it back as the numbers written.
TEST(GotoText, EveryGotoWrittenIsReadBackAsTheNumbersWritten) {
  std::vector<std::tuple<double, double, int32_t, const char*>> gotos = {
      {48.1173, 11.516666667, 12, "goto 48.1173 11.516667 12"},
      {-37.860833333, 145.122666667, 0, "goto -37.860833 145.122667 0"},
      {0.00001, -0.001, -3, "goto 0.00001 -0.001 -3"},
      {-0.0, 180.0, 5, "goto 0 180 5"},
      {-0.0000001, 1e-7, 1, "goto 0 0 1"},
      {-90.0, -179.9999996, 20, "goto -90 -180 20"},
      {90, 180, INT32_MAX, "goto 90 180 2147483647"},
      {0.0000005, -0.0000006, INT32_MIN, "goto 0 -0.000001 -2147483648"},
  };
  std::mt19937_64 random(23);
  std::uniform_real_distribution<double> latitude(-90, 90), longitude(-180, 180);
  std::uniform_int_distribution<int32_t> zoom(INT32_MIN, INT32_MAX);
  for (int i = 0; i < 100000; ++i) {
    gotos.emplace_back(latitude(random), longitude(random), i % 2 ? zoom(random) : i % 21, nullptr);
  }
  for (const auto& [lat, lon, level, expected] : gotos) {
    char command[100];
    FormatGotoCommand(command, sizeof command, lat, lon, level);
    SCOPED_TRACE(command);
    EXPECT_STREQ(expected != nullptr ? expected : command, command);
    double written_lat, written_lon;
    ASSERT_EQ(sscanf(command, "goto %lf %lf", &written_lat, &written_lon), 2);
    MapGoto where;
    std::string why;
    ASSERT_EQ(ParseGoto(command, where, why), 0) << why;
    EXPECT_EQ(where.latitude, written_lat);
    EXPECT_EQ(where.longitude, written_lon);
    EXPECT_EQ(where.zoom, level);
  }
}

}  // namespace
