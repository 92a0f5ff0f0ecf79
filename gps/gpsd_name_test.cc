#include "gps/gpsd_name.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <utility>

namespace {

TEST(GpsdName, TheNameGivesHostPortAndDevice) {
  const std::tuple<const char*, const char*, const char*, const char*> names[] = {
      {"gpsd://", "localhost", "2947", ""},
      {"gpsd://:2", "localhost", "2", ""},
      {"gpsd://gps.example:65535/", "gps.example", "65535", ""},
      {"gpsd://10.0.0.2:02947/dev/serial/by-id/x", "10.0.0.2", "2947", "/dev/serial/by-id/x"},
      {"gpsd://[::1]", "::1", "2947", ""},
      {"gpsd://[fe80::1:2]:3/dev/ttyACM0", "fe80::1:2", "3", "/dev/ttyACM0"},
      {"gpsd:///dev/ttyUSB0", "localhost", "2947", "/dev/ttyUSB0"},
  };
  for (const auto& [name, host, port, device] : names) {
    SCOPED_TRACE(name);
    GpsdAddress address;
    std::string why;
    ASSERT_EQ(ParseGpsdName(name, address, why), 0) << why;
    EXPECT_STREQ(address.host, host);
    EXPECT_STREQ(address.port, port);
    EXPECT_STREQ(address.device, device);
  }
  // A wrong one says what is wrong.
  const std::pair<std::string, const char*> wrong[] = {
      {"gpsd://127.0.0.1:112587", "65535"}, {"gpsd://h:0", "65535"}, {"gpsd://h:", "65535"},
      {"gpsd://h:-1", "65535"}, {"gpsd://h:99999999999999999999", "65535"},
      {"gpsd://h:4294967297", "65535"},
      {"gpsd://::1", "[::1]"}, {"gpsd://[::1", "IPv6"}, {"gpsd://[gps.example]:2947", "IPv6"},
      {"gpsd://[::1]2947", "IPv6"}, {"gpsd://" + std::string(128, 'h'), ""},
  };
  for (const auto& [name, word] : wrong) {
    SCOPED_TRACE(name);
    GpsdAddress address;
    std::string why;
    EXPECT_EQ(ParseGpsdName(name.c_str(), address, why), -EINVAL);
    EXPECT_NE(why.find(word), std::string::npos) << why;
  }
}

}  // namespace
