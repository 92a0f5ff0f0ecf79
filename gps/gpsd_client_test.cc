#include "gps/gpsd_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "platform/scoped_fd.h"
#include "platform/wait.h"

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

// A conversation with a peer on a socket pair: all it says is waiting when
// the window opens; then it stays silent, or hangs up.
GpsdAnswer Converse(const std::string& says, const char* device, bool only_if_listed,
                    SnapshotReport& report, int window_ms = 1000, bool hang_up = false) {
  int ends[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  ScopedFd ours(ends[0]), gpsd(ends[1]);
  EXPECT_EQ(send(gpsd.get(), says.data(), says.size(), MSG_NOSIGNAL), ssize_t(says.size()));
  if (hang_up) shutdown(gpsd.get(), SHUT_WR);
  NmeaBuffer buffer = {};
  uint32_t bytes;
  return ConverseWithGpsd(ours.get(), buffer, device, only_if_listed, MonotonicMs() + kGpsdProbeMs,
                          MonotonicMs() + window_ms, report, bytes);
}

// Only a well-formed listing that names the tty says gpsd holds it.
TEST(GpsdClient, WhatSaysGpsdHoldsTheTty) {
  const std::string version = "{\"class\":\"VERSION\",\"release\":\"3.22\"}\r\n";
  const std::pair<std::string, GpsdAnswer> peers[] = {
      {version + "{\"class\":\"DEVICES\",\"devices\":[{\"path\":\"/dev/ttyX\"}]}\r\n",
       GpsdAnswer::kServed},
      {version, GpsdAnswer::kNotListed},  // and then silence
      {"{\"class\":\"ERROR\",\"message\":\"Unrecognized request\"}\r\n", GpsdAnswer::kNotListed},
      {"HTTP/1.1 400 Bad Request\r\n", GpsdAnswer::kNotListed},
      {"{\"class\":\"DEVICES\",\"devices\":{\"path\":\"/dev/ttyX\"}}\r\n", GpsdAnswer::kNotListed},
      {"{\"class\":\"DEVICES\",\"devices\":[{\"path\":5},7,{\"path\":\"/dev/ttyY\"}]}\r\n",
       GpsdAnswer::kNotListed},
  };
  for (const auto& [says, answer] : peers) {
    SCOPED_TRACE(says);
    SnapshotReport report;
    EXPECT_EQ(Converse(says, "/dev/ttyX", true, report), answer);
  }
}

// The window is a deadline, however fast gpsd talks: lines still waiting
// when it is over are left unread.
TEST(GpsdClient, AFloodEndsWithTheWindow) {
  std::string lines;
  while (lines.size() < 100000) lines += "{\"class\":\"TPV\",\"device\":\"/dev/ttyX\",\"mode\":1}\r\n";
  SnapshotReport report;
  Converse(lines, "", false, report, 0, true);
  EXPECT_EQ(report.end, WindowEnd::kTimeout);
}

}  // namespace
