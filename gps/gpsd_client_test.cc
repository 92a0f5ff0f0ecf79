#include "gps/gpsd_client.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(GpsdClient, TheNameGivesHostPortAndDevice) {
  struct Name {
    const char* name;
    const char* host;  // or a word of the problem
    const char* port;
    const char* device;
  };
  const Name names[] = {
      {"gpsd://", "localhost", "2947", ""},
      {"gpsd://:2", "localhost", "2", ""},
      {"gpsd://gps.example:65535/", "gps.example", "65535", ""},
      {"gpsd://10.0.0.2:02947/dev/serial/by-id/x", "10.0.0.2", "2947", "/dev/serial/by-id/x"},
      {"gpsd://[::1]", "::1", "2947", ""},
      {"gpsd://[fe80::1:2]:3/dev/ttyACM0", "fe80::1:2", "3", "/dev/ttyACM0"},
      {"gpsd:///dev/ttyUSB0", "localhost", "2947", "/dev/ttyUSB0"},
      {"gpsd://127.0.0.1:112587", "65535", nullptr, nullptr},
      {"gpsd://h:0", "65535", nullptr, nullptr},
      {"gpsd://h:", "65535", nullptr, nullptr},
      {"gpsd://h:-1", "65535", nullptr, nullptr},
      {"gpsd://h:99999999999999999999", "65535", nullptr, nullptr},
      {"gpsd://::1", "[::1]", nullptr, nullptr},
      {"gpsd://[::1", "IPv6", nullptr, nullptr},
      {"gpsd://[gps.example]:2947", "IPv6", nullptr, nullptr},
      {"gpsd://[::1]2947", "IPv6", nullptr, nullptr},
      {"gpsd://h/dev/tty\xff", "UTF-8", nullptr, nullptr},
  };
  for (const Name& n : names) {
    SCOPED_TRACE(n.name);
    GpsdAddress address;
    const char* problem = ParseGpsdName(n.name, address);
    if (n.port == nullptr) {
      ASSERT_NE(problem, nullptr);
      EXPECT_NE(std::string(problem).find(n.host), std::string::npos) << problem;
      continue;
    }
    ASSERT_EQ(problem, nullptr) << problem;
    EXPECT_STREQ(address.host, n.host);
    EXPECT_STREQ(address.port, n.port);
    EXPECT_STREQ(address.device, n.device);
  }
  GpsdAddress address;
  EXPECT_NE(ParseGpsdName(("gpsd://" + std::string(128, 'h')).c_str(), address), nullptr);
}

}  // namespace
