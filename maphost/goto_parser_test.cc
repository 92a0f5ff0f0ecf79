#include "maphost/goto_parser.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <random>
#include <sstream>

#include "rexx/goto_command.h"

namespace {

// navbeacon's gotos, as its formatter writes them, are taken back as the
// numbers written: from the poles and the antimeridian to the smallest
// step, every zoom, and a sweep of the globe.
TEST(ParseGoto, TakesBackEveryGotoNavbeaconWritesAsTheNumbersWritten) {
  std::vector<std::tuple<double, double, int32_t>> positions = {
      {90, 180, 0}, {-90, -180, 19}, {-0.0, -0.0, -1}, {0.0000004, -0.0000004, 12},
      {0.0000005, -0.0000006, INT32_MAX}, {-89.9999996, 179.9999996, INT32_MIN},
      {48.1173, 11.516666667, 12}, {-37.860833333, 145.122666667, 3},
      {1e-300, -1e-300, 7}, {45.0000005, -0.1234565, 5},
  };
  std::mt19937_64 random(23);
  std::uniform_real_distribution<double> latitude(-90, 90), longitude(-180, 180);
  std::uniform_int_distribution<int32_t> zoom(INT32_MIN, INT32_MAX);
  for (int i = 0; i < 100000; ++i) {
    positions.emplace_back(latitude(random), longitude(random), i % 2 ? zoom(random) : i % 21);
  }
  for (const auto& [lat, lon, level] : positions) {
    char command[100];
    FormatGotoCommand(command, sizeof command, lat, lon, level);
    SCOPED_TRACE(command);
    std::istringstream fields(command);
    std::string word, written_lat, written_lon;
    fields >> word >> written_lat >> written_lon;
    MapGoto where;
    std::string why;
    ASSERT_TRUE(ParseGoto(command, where, why)) << why;
    EXPECT_EQ(where.latitude, strtod(written_lat.c_str(), nullptr));
    EXPECT_EQ(where.longitude, strtod(written_lon.c_str(), nullptr));
    EXPECT_NEAR(where.latitude, lat, 5.0001e-7);
    EXPECT_NEAR(where.longitude, lon, 5.0001e-7);
    EXPECT_EQ(where.zoom, level);
  }
}

}  // namespace
