#include "rexx/public_port.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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
  for (auto [value, expected] : {std::pair<const char*, std::string>{"/run/user/1", "/run/user/1/rexx"},
                                 {"relative/dir", fallback}, {"", fallback}}) {
    setenv("XDG_RUNTIME_DIR", value, 1);
    char path[256];
    ASSERT_EQ(PortDirectory(path, sizeof path), 0);
    EXPECT_EQ(path, expected);
  }
}

// What lies under a name decides whether a client finds a host there and
// whether a host may take it; the name goes with the host that took it.
TEST_F(PublicPortTest, WhatLiesUnderANameDecidesWhoFindsAndWhoTakesIt) {
  const std::string path = directory() + "/MAP";
  ASSERT_EQ(mkdir(directory().c_str(), 0700), 0);
  std::unique_ptr<HostPort> live, port;
  const std::tuple<const char*, std::function<void()>, PortAbsence, int> names[] = {
      {"nothing", [] {}, PortAbsence::kMissing, 0},
      {"a socket whose host ended", [&] { LeaveDeadSocket(path); }, PortAbsence::kStale, 0},
      {"a file, not a host's", [&] { WriteWholeFile(path, "mine"); }, PortAbsence::kMissing, -EEXIST},
      {"a live host", [&] { ASSERT_EQ(AddPort("MAP", live), 0); }, PortAbsence::kNone, -EADDRINUSE},
  };
  for (const auto& [what, leave, absence, taken] : names) {
    SCOPED_TRACE(what);
    std::filesystem::remove(path);
    leave();
    EXPECT_EQ(Find("MAP").absence, absence);  // kNone: found
    EXPECT_EQ(AddPort("MAP", port), taken);
    EXPECT_EQ(Find("MAP").lookup, taken == -EEXIST ? Exchange::kNoPort : Exchange::kOk);
    RemPort(std::move(port));
    RemPort(std::move(live));
    EXPECT_EQ(std::filesystem::exists(path), taken == -EEXIST);  // "mine" is kept
    EXPECT_FALSE(std::filesystem::exists(directory() + "/.MAP.lock"));
  }
  EXPECT_EQ(AddPort("../escape", port), -EINVAL);
  EXPECT_EQ(Find("../escape").lookup, Exchange::kNoPort);
}

// A directory that is not the user's own and private hides every port
// and takes none; a host running as another user is not found.
TEST_F(PublicPortTest, OnlyTheUsersOwnHostsInAPrivateDirectoryAreFound) {
  if (geteuid() != 0) NAVBEACON_SKIP("NOTICE: needs root to act as another user");
  TempDir elsewhere;
  const std::string dir = directory();
  std::unique_ptr<Child> nobody;
  using enum PortAbsence;
  const std::tuple<const char*, std::function<void()>, PortAbsence> states[] = {
      {"open to all", [&] { chmod(dir.c_str(), 0777); }, kUnsafeDirectory},
      {"open to the group", [&] { chmod(dir.c_str(), 0710); }, kUnsafeDirectory},
      {"another owner", [&] { EXPECT_EQ(chown(dir.c_str(), 65534, 0), 0); }, kUnsafeDirectory},
      {"a link", [&] {
         std::filesystem::rename(dir, elsewhere.path() + "/rexx");
         EXPECT_EQ(symlink((elsewhere.path() + "/rexx").c_str(), dir.c_str()), 0);
       }, kUnsafeDirectory},
      // Bound in our directory, but listening as nobody: its peer
      // credentials are nobody's.
      {"a host running as nobody", [&] {
         std::filesystem::remove(dir + "/MAP");
         nobody = std::make_unique<Child>(std::vector<std::string>{"/usr/bin/python3", "-c",
             "import os, socket, sys, time\n"
             "s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET); s.bind(sys.argv[1])\n"
             "os.setresgid(65534, 65534, 65534); os.setresuid(65534, 65534, 65534); s.listen(4)\n"
             "print('listening', flush=True); time.sleep(30)", dir + "/MAP"});
         ASSERT_TRUE(nobody->WaitForOutput("listening")) << nobody->Stderr();
       }, kOtherUser},
  };
  for (const auto& [what, spoil, absence] : states) {
    SCOPED_TRACE(what);
    std::filesystem::remove_all(dir);
    std::filesystem::remove_all(elsewhere.path() + "/rexx");
    std::unique_ptr<HostPort> port, other;
    ASSERT_EQ(AddPort("MAP", port), 0);
    spoil();
    EXPECT_EQ(Find("MAP").absence, absence);
    EXPECT_EQ(AddPort("OTHER", other), absence == kOtherUser ? 0 : -EPERM);
  }
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
      starting.emplace_back([&, i] { ready.arrive_and_wait(), errors[i] = AddPort("MAP", hosts[i]); });
    }
    for (std::thread& thread : starting) thread.join();
    ASSERT_EQ(std::ranges::count_if(hosts, std::logical_not()), 7);
    for (size_t i = 0; i < hosts.size(); ++i) EXPECT_EQ(errors[i], hosts[i] ? 0 : -EADDRINUSE);
    hosts.clear();
    EXPECT_FALSE(std::filesystem::exists(directory() + "/MAP"));
  }
}

}  // namespace
