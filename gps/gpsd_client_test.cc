#include "gps/gpsd_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>
#include <string>
#include <thread>
#include <tuple>

#include "platform/scoped_fd.h"
#include "platform/wait.h"
#include "tests/test_support.h"

namespace {

// A conversation with a peer on a socket pair: all it says is waiting when
// the window opens; then it stays silent, or hangs up.
GpsdAnswer Converse(const std::string& says, const char* device, bool only_if_listed,
                    SnapshotReport& report, int window_ms = 1000, bool hang_up = false,
                    std::string* text = nullptr) {
  int ends[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  ScopedFd ours(ends[0]), gpsd(ends[1]);
  EXPECT_EQ(send(gpsd.get(), says.data(), says.size(), MSG_NOSIGNAL), ssize_t(says.size()));
  if (hang_up) shutdown(gpsd.get(), SHUT_WR);
  NmeaBuffer buffer = {};
  uint32_t bytes;
  const GpsdAnswer answer = ConverseWithGpsd(ours.get(), buffer, device, only_if_listed,
                                             MonotonicMs() + kGpsdProbeMs,
                                             MonotonicMs() + window_ms, report, bytes);
  if (text != nullptr) *text = buffer.text;
  return answer;
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
    std::string text;
    EXPECT_EQ(Converse(says, "/dev/ttyX", true, report, 1000, false, &text), answer);
    EXPECT_EQ(text, "");  // nothing a peer said is taken for the tty's text
  }
}

// A line gpsd should not send is passed over: the window goes on to the
// next sentence, VERBOSE shows the line's start, and the line is named,
// quoted, only when no sentence follows it. A whole sentence glued to a
// cut-off line ("what" empty) is taken.
TEST(GpsdClient, LinesOfNoUseArePassedOver) {
  const std::string cut = "{\"class\":\"POLL\",\"active\":2,\"tpv\":[{\"class\":\"TPV\","
                          "\"device\":\"/dev/pts/1\",\"lat\":48.1",
                    neither = "gpsd sent a line that is neither JSON nor NMEA";
  const std::pair<std::string, std::string> lines[] = {
      {cut + std::string(9800, ' ') + kMunichRmc.substr(0, 30),
       "gpsd sent a JSON object cut off before its end"},
      {cut + std::string(9800, ' ') + kMunichRmc.substr(0, kMunichRmc.size() - 2), ""},
      {"{\"class\":\"TPV\",\"lat\":NaN}", neither},
      {"{\"class\":\"TPV\",\"mode\":3,\"lat\":1e400,\"lon\":1}", neither},
      {std::string("{\"class\":\"VERSION\"\0}", 20), neither},
      {"{\"class\":\"\x1b[2J\"}", neither},
      {"{\"class\":\"\xff\"}", neither},
      {"[{\"class\":\"TPV\"}]", "gpsd sent JSON that is not an object"},
      {std::string(20000, 'x'), "gpsd sent a line longer than 16384 bytes"},
  };
  for (const auto& [line, what] : lines) {
    SCOPED_TRACE(line.substr(0, 40));
    SnapshotReport report;
    std::string text;
    Converse(line + "\r\n" + kMunichRmc, "", false, report, 1000, false, &text);
    EXPECT_EQ(report.end, WindowEnd::kPosition);
    EXPECT_STREQ(report.problem, "");
    EXPECT_TRUE(text.ends_with(kMunichRmc)) << text;
    std::string shown = line.substr(0, 160);
    std::erase(shown, '\0');
    EXPECT_TRUE(text.starts_with(shown + (line.size() > 160 ? "...\r\n" : "\r\n")));
    // With no sentence after it, the window runs its course and says what
    // came instead.
    report = SnapshotReport();
    Converse(line + "\r\n", "", false, report, 200);
    EXPECT_EQ(report.end, what.empty() ? WindowEnd::kPosition : WindowEnd::kTimeout);
    EXPECT_TRUE(std::string(report.problem).starts_with(
        what.empty() ? "" : what + ": \"" + line.substr(0, 9)))
        << report.problem;
  }
}

// A peer on gpsd's port that does not serve is named by its address, and
// one that never said VERSION may not be gpsd. Each says its piece, hangs up
// if told to, and waits for ours, so that nothing it says is lost to a reset.
TEST(GpsdClient, APeerThatDoesNotServeIsNamed) {
  const std::string not_gpsd = "; the server at @ may not be gpsd (it sent no VERSION line)";
  const std::tuple<std::string, const char*, bool, std::string> peers[] = {
      {"", "/dev/ttyX", false, "gpsd at @ did not answer in 2 s"},
      {"{\"class\":\"VERSION\"}\r\n", "/dev/ttyX", false,
       "gpsd at @ did not answer the request for its devices in 2 s"},
      {"hello\n", "", true, "gpsd sent a line that is neither JSON nor NMEA: \"hello\"; then gpsd "
       "closed the connection" + not_gpsd},
      {"{\"class\":\"ERROR\",\"message\":\"Unrecognized request\"}\r\n", "", true,
       "gpsd answered: Unrecognized request" + not_gpsd},
      {"{\"class\":\"ERROR\",\"message\":42}\r\n", "", true, "gpsd answered: an error" + not_gpsd},
      // Members of the wrong type are passed over, or stand for nothing said.
      {"{\"class\":\"VERSION\"}\r\n{\"class\":1}\r\n{\"class\":null}\r\n"
       "{\"class\":\"DEVICES\",\"devices\":[{\"path\":5},7]}\r\n", "/dev/ttyACM0", true,
       "gpsd closed the connection"},
  };
  for (const auto& [says, device, hang_up, what] : peers) {
    SCOPED_TRACE(what);
    ScopedFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
    const std::string peer = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    std::thread server([&, says = says, hang_up = hang_up] {
      ScopedFd client(accept(listener.get(), nullptr, nullptr));
      send(client.get(), says.data(), says.size(), MSG_NOSIGNAL);
      if (hang_up) shutdown(client.get(), SHUT_WR);
      for (char drain[256]; recv(client.get(), drain, sizeof drain, 0) > 0;) {
      }
    });
    GpsdAddress gpsd;
    std::string why;
    ASSERT_EQ(ParseGpsdName(("gpsd://" + peer + device).c_str(), gpsd, why), 0);
    NmeaBuffer buffer = {};
    SnapshotReport report;
    uint32_t bytes;
    ReadGpsdSnapshot(buffer, gpsd, false, report, bytes);
    server.join();
    EXPECT_EQ(report.problem, std::regex_replace(what, std::regex("@"), peer));
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
