#include "maphost/marble_bridge.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

namespace {

// The first Marble zoom (in steps of 5) at which Marble 22.12's
// OpenStreetMap theme reports each tileLevel, 0 to 19; its maximum zoom,
// 3500, is still level 19.
constexpr int32_t kFirstZoomOfLevel[] = {
    900,  975,  1110, 1250, 1390, 1525, 1665, 1805, 1945, 2080, 2220,
    2360, 2500, 2635, 2775, 2915, 3050, 3190, 3330, 3470, 3505};

TEST(MarbleZoom, EachLevelLandsInsideTheZoomsWhereMarbleLoadsItsTiles) {
  for (int32_t level = 0; level <= 19; ++level) {
    EXPECT_GE(MarbleZoom(level), kFirstZoomOfLevel[level]) << level;
    EXPECT_LE(MarbleZoom(level), kFirstZoomOfLevel[level + 1] - 5) << level;
  }
  EXPECT_EQ(MarbleZoom(-4), MarbleZoom(0));
  EXPECT_EQ(MarbleZoom(INT32_MIN), MarbleZoom(0));
  EXPECT_EQ(MarbleZoom(25), 3500);
  EXPECT_EQ(MarbleZoom(INT32_MAX), 3500);
}

TEST(CentreShows, WithinATenThousandthOfADegreeAcrossTheAntimeridian) {
  const struct {
    MapGoto where;
    double longitude, latitude;
    bool shows;
  } cases[] = {
      {{48.1173, 11.516667, 12}, 11.5167, 48.1173, true},
      {{48.1173, 11.516667, 12}, 11.516557, 48.1173, false},
      {{48.1173, 11.516667, 12}, 11.516667, 48.11741, false},
      {{48.1173, 11.516667, 12}, 48.1173, 11.516667, false},
      {{0, -180, 3}, 180, 0, true},
      {{-16.5, 179.99996, 3}, -179.99997, -16.5, true},
      {{-16.5, 179.9999, 3}, -179.9999, -16.5, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CentreShows(c.where, c.longitude, c.latitude), c.shows)
        << c.where.latitude << " " << c.where.longitude << " read back as "
        << c.latitude << " " << c.longitude;
  }
}

// A goto whose time ran out waiting for the bridge reaches no bus, and is
// answered as one that Marble did not answer in time.
TEST(MarbleBridge, WithoutASessionBusOrTimeLeftSaysSo) {
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  MarbleBridge bridge;
  const BridgeReply reply = bridge.Show({48.1173, 11.516667, 12});
  const BridgeReply late = bridge.ShowBy({48.1173, 11.516667, 12}, MonotonicMs() - 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  EXPECT_EQ(reply.code, kMarbleFailed);
  EXPECT_NE(reply.text.find("No such file or directory"), std::string::npos) << reply.text;
  EXPECT_EQ(late.code, kMarbleFailed);
  EXPECT_NE(late.text.find("did not answer within 4 s"), std::string::npos) << late.text;
}

}  // namespace
