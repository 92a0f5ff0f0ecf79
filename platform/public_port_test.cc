#include "platform/public_port.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "platform/wait.h"
#include "tests/test_support.h"

namespace {

class PublicPortTest : public testing::Test {
 protected:
  RuntimeDir runtime_;
  std::string directory() const { return runtime_.path() + "/rexx"; }
};

MsgPort Find(const char* name) { return FindPort(name, MonotonicMs() + 2000); }

// The socket a crashed host leaves: bound, closed, its name not removed.
void LeaveDeadSocket(const std::string& path) {
  ScopedFd dead(socket(AF_UNIX, SOCK_SEQPACKET, 0));
  sockaddr_un address = {AF_UNIX, {}};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(dead.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
}

TEST(PortDirectory, RuntimeDirWhenAbsoluteElseTmp) {
  const std::string fallback = "/tmp/rexx-" + std::to_string(geteuid());
  for (auto [value, expected] : {std::pair<const char*, std::string>{
                                     "/run/user/1000", "/run/user/1000/rexx"},
                                 {"relative/dir", fallback}, {"", fallback}}) {
    setenv("XDG_RUNTIME_DIR", value, 1);
    char path[256];
    ASSERT_TRUE(PortDirectory(path, sizeof path));
    EXPECT_EQ(path, expected);
  }
}

TEST_F(PublicPortTest, HostAndClientMeetAndTheNameGoesWithTheHost) {
  EXPECT_EQ(Find("MAP").lookup, Exchange::kNoPort);
  EXPECT_EQ(Find("MAP").absence, PortAbsence::kMissing);
  int error = 0;
  auto port = AddPort("MAP", &error);
  ASSERT_TRUE(port) << strerror(error);
  EXPECT_EQ(Find("MAP").lookup, Exchange::kOk);  // the directory passes its own checks
  // A second host cannot take a live name.
  EXPECT_FALSE(AddPort("MAP", &error));
  EXPECT_EQ(error, EADDRINUSE);
  RemPort(std::move(port));
  EXPECT_FALSE(std::filesystem::exists(directory() + "/MAP"));
  EXPECT_FALSE(std::filesystem::exists(directory() + "/.MAP.lock"));
  EXPECT_EQ(Find("MAP").lookup, Exchange::kNoPort);

  EXPECT_FALSE(AddPort("../escape", &error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_EQ(Find("../escape").lookup, Exchange::kNoPort);
}

TEST_F(PublicPortTest, AStaleSocketIsNotFoundAndIsReplaced) {
  ASSERT_EQ(mkdir(directory().c_str(), 0700), 0);
  LeaveDeadSocket(directory() + "/MAP");
  EXPECT_EQ(Find("MAP").lookup, Exchange::kNoPort);
  EXPECT_EQ(Find("MAP").absence, PortAbsence::kStale);
  int error = 0;
  auto port = AddPort("MAP", &error);
  ASSERT_TRUE(port) << strerror(error);
  EXPECT_EQ(Find("MAP").lookup, Exchange::kOk);
  // Only a socket is a port's to replace.
  WriteWholeFile(directory() + "/NOTES", "mine");
  EXPECT_FALSE(AddPort("NOTES", &error));
  EXPECT_EQ(ReadWholeFile(directory() + "/NOTES"), "mine");
  EXPECT_EQ(Find("NOTES").absence, PortAbsence::kMissing);  // not a host's leftover
}

TEST_F(PublicPortTest, AnUnsafeDirectoryHidesEveryPort) {
  if (geteuid() != 0) NAVBEACON_SKIP("NOTICE: needs root to give the directory another owner");
  TempDir elsewhere;
  const std::string dir = directory();
  const std::pair<const char*, std::function<void()>> states[] = {
      {"open to all", [&] { chmod(dir.c_str(), 0777); }},
      {"open to the group", [&] { chmod(dir.c_str(), 0710); }},
      {"another owner", [&] { EXPECT_EQ(chown(dir.c_str(), 65534, 0), 0); }},
      {"a link", [&] {
         std::filesystem::rename(dir, elsewhere.path() + "/rexx");
         EXPECT_EQ(symlink((elsewhere.path() + "/rexx").c_str(), dir.c_str()), 0);
       }},
  };
  for (const auto& [what, spoil] : states) {
    SCOPED_TRACE(what);
    std::filesystem::remove_all(dir);
    std::filesystem::remove_all(elsewhere.path() + "/rexx");
    int error = 0;
    auto port = AddPort("MAP", &error);
    ASSERT_TRUE(port);
    ASSERT_EQ(Find("MAP").lookup, Exchange::kOk);
    spoil();
    EXPECT_EQ(Find("MAP").absence, PortAbsence::kUnsafeDirectory);
    EXPECT_FALSE(AddPort("OTHER", &error));
  }
}

TEST_F(PublicPortTest, AHostRunningAsAnotherUserIsNotFound) {
  if (geteuid() != 0) NAVBEACON_SKIP("NOTICE: needs root to run a host as another user");
  ASSERT_EQ(mkdir(directory().c_str(), 0700), 0);
  // Bound in our directory, but listening as nobody: its peer credentials
  // are nobody's.
  Child host({"/usr/bin/python3", "-c", "import os, socket, sys, time\n"
              "s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET); s.bind(sys.argv[1])\n"
              "os.setresgid(65534, 65534, 65534); os.setresuid(65534, 65534, 65534); s.listen(4)\n"
              "print('listening', flush=True); time.sleep(30)", directory() + "/MAP"});
  ASSERT_TRUE(host.WaitForOutput("listening")) << host.Stderr();
  EXPECT_EQ(Find("MAP").absence, PortAbsence::kOtherUser);
}

// Hosts started at once on a stale socket's name: exactly one takes it,
// and the others are told it is in use.
TEST_F(PublicPortTest, OfHostsStartedAtOnceOnANameOneTakesIt) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    mkdir(directory().c_str(), 0700);
    LeaveDeadSocket(directory() + "/MAP");
    std::vector<std::unique_ptr<HostPort>> hosts(8);
    std::vector<int> errors(hosts.size());
    std::vector<std::thread> starting;
    std::latch ready(hosts.size());
    for (size_t i = 0; i < hosts.size(); ++i) {
      starting.emplace_back([&, i] { ready.arrive_and_wait(), hosts[i] = AddPort("MAP", &errors[i]); });
    }
    for (std::thread& thread : starting) thread.join();
    ASSERT_EQ(std::ranges::count_if(hosts, std::logical_not()), 7);
    for (size_t i = 0; i < hosts.size(); ++i) EXPECT_EQ(!hosts[i] ? errors[i] : EADDRINUSE, EADDRINUSE);
    hosts.clear();
    EXPECT_FALSE(std::filesystem::exists(directory() + "/MAP"));
  }
}

}  // namespace
