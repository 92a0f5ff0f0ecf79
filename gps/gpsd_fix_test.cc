#include "gps/gpsd_fix.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

// Only a fresh fix of the device watched, in numbers that mean a position,
// stands for the receiver's next sentence.
TEST(GpsdFix, WhichCurrentFixIsTaken) {
  const auto poll = [](const std::string& fix, const std::string& time = "12:00:00.400Z") {
    return "{\"class\":\"POLL\",\"tpv\":[{\"class\":\"TPV\",\"device\":\"/dev/ttyX\"," + fix +
           ",\"time\":\"2026-12-06T" + time + "\"}]}";
  };
  const std::string good = "\"mode\":3,\"lat\":-33.856426667,\"lon\":151.2174";
  const std::tuple<std::string, const char*, bool> lines[] = {
      {poll(good), "/dev/ttyX", true},
      {poll(good), "", true},
      {poll("\"mode\":2,\"lat\":90,\"lon\":-180"), "/dev/ttyX", true},
      {poll(good, "11:59:59.5Z"), "/dev/ttyX", true},  // 1.0 s old
      {poll(good, "12:00:01Z"), "/dev/ttyX", true},
      {poll(good), "/dev/ttyY", false},
      {poll(good, "11:59:59.3Z"), "/dev/ttyX", false},  // stale
      {poll(good, "12:00:01.6Z"), "/dev/ttyX", false},  // the clocks disagree
      {poll(good, "12:00:00.Z"), "/dev/ttyX", false},
      {poll(good, "12:00:00+01:00"), "/dev/ttyX", false},
      {poll(good, "11:59:60Z"), "/dev/ttyX", false},
      {poll(good, "12:00:00.4Z\",\"time\":5"), "/dev/ttyX", false},
      {poll("\"mode\":1,\"lat\":1,\"lon\":2"), "/dev/ttyX", false},
      {poll("\"mode\":\"3\",\"lat\":1,\"lon\":2"), "/dev/ttyX", false},
      {poll("\"mode\":3,\"lat\":\"1\",\"lon\":2"), "/dev/ttyX", false},
      {poll("\"mode\":3,\"lat\":90.1,\"lon\":2"), "/dev/ttyX", false},
      {poll("\"mode\":3,\"lat\":1,\"lon\":1e999"), "/dev/ttyX", false},
      {poll("\"mode\":3,\"lat\":1"), "/dev/ttyX", false},
      {"{\"class\":\"POLL\",\"active\":0,\"tpv\":[]}", "", false},
      {"{\"class\":\"POLL\",\"tpv\":{\"class\":\"TPV\"}}", "", false},
      {"{\"class\":\"TPV\",\"device\":\"/dev/ttyX\",\"mode\":3,\"lat\":1,\"lon\":2,"
       "\"time\":\"2026-12-06T12:00:00Z\"}", "", false},
      {"{\"class\":\"POLL\",\"tpv\":[7,{\"class\":\"TPV\",\"mode\":3,\"lat\":1,\"lon\":2,"
       "\"time\":\"2026-12-06T12:00:00Z\"},{\"class\":\"TPV\",\"device\":\"/dev/ttyZ\","
       "\"mode\":3,\"lat\":1,\"lon\":2,\"time\":\"2026-12-06T12:00:00Z\"}]}", "", true},
  };
  for (const auto& [line, device, taken] : lines) {
    SCOPED_TRACE(line + " of " + device);
    SnapshotReport report;
    EXPECT_EQ(TakeCurrentFix(line, device, 1796558400.5, report), taken);
    EXPECT_EQ(report.current_fix, taken);
  }
  SnapshotReport report;
  ASSERT_TRUE(TakeCurrentFix(poll(good), "", 1796558400.0, report));
  EXPECT_EQ(report.latitude, -33.856426667);
  EXPECT_EQ(report.longitude, 151.2174);
  EXPECT_DOUBLE_EQ(report.fix_age_s, 0);  // a little ahead of the clock
  EXPECT_STREQ(report.fix_device, "/dev/ttyX");
  ASSERT_TRUE(TakeCurrentFix(poll(good), "", 1796558401.2, report));
  EXPECT_NEAR(report.fix_age_s, 0.8, 1e-6);
}

}  // namespace
