#include "platform/public_port.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "rexx/rexx_command.h"
#include "tests/raw_host.h"
#include "tests/test_support.h"

namespace {

class PublicPortTest : public testing::Test {
 protected:
  TempDir runtime_;
  ScopedEnv env_{"XDG_RUNTIME_DIR", runtime_.path()};
  std::string directory() const { return runtime_.path() + "/rexx"; }
};

size_t OpenDescriptors() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST(PortDirectory, RuntimeDirWhenAbsoluteElseTmp) {
  char path[256];
  {
    ScopedEnv env("XDG_RUNTIME_DIR", "/run/user/1000");
    ASSERT_TRUE(PortDirectory(path, sizeof path));
    EXPECT_STREQ(path, "/run/user/1000/rexx");
  }
  const std::string fallback = "/tmp/rexx-" + std::to_string(geteuid());
  for (const char* value : {"relative/dir", ""}) {
    ScopedEnv env("XDG_RUNTIME_DIR", value);
    ASSERT_TRUE(PortDirectory(path, sizeof path));
    EXPECT_EQ(path, fallback);
  }
}

TEST(PortNames, OnlyPlainNamesOfUpTo64Bytes) {
  EXPECT_TRUE(ValidPortName("KARTOVELL.1"));
  EXPECT_TRUE(ValidPortName("a-b_c.D9"));
  EXPECT_TRUE(ValidPortName(std::string(64, 'x').c_str()));
  for (const std::string& name :
       {std::string(), std::string(".hidden"), std::string("a/b"),
        std::string(".."), std::string("sp ace"), std::string("\xc3\xa4"),
        std::string(65, 'x')}) {
    EXPECT_FALSE(ValidPortName(name.c_str())) << name;
  }
  EXPECT_FALSE(ValidPortName(nullptr));
}

TEST_F(PublicPortTest, HostAndClientMeetAndTheNameGoesWithTheHost) {
  EXPECT_FALSE(FindPort("MAP"));
  EXPECT_EQ(FindPort("MAP").lookup, PortLookup::kNotFound);
  int error = 0;
  auto port = AddPort("MAP", &error);
  ASSERT_TRUE(port) << strerror(error);
  struct stat info;
  ASSERT_EQ(stat(directory().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(FindPort("MAP"));
  // A second host cannot take a live name.
  EXPECT_FALSE(AddPort("MAP", &error));
  EXPECT_EQ(error, EADDRINUSE);
  RemPort(std::move(port));
  EXPECT_FALSE(std::filesystem::exists(directory() + "/MAP"));
  EXPECT_FALSE(FindPort("MAP"));
}

TEST_F(PublicPortTest, InvalidNamesAreNeverFoundNorOpened) {
  int error = 0;
  EXPECT_FALSE(AddPort("../escape", &error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_FALSE(FindPort("../escape"));
  EXPECT_FALSE(std::filesystem::exists(runtime_.path() + "/escape"));
}

TEST_F(PublicPortTest, AStaleSocketIsNotFoundAndIsReplaced) {
  ASSERT_EQ(mkdir(directory().c_str(), 0700), 0);
  {
    ScopedFd dead(socket(AF_UNIX, SOCK_SEQPACKET, 0));
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s/MAP",
             directory().c_str());
    ASSERT_EQ(bind(dead.get(), reinterpret_cast<sockaddr*>(&address),
                   sizeof address),
              0);
  }  // closed without removing its name, as a crashed host leaves it
  EXPECT_EQ(FindPort("MAP").lookup, PortLookup::kNotFound);
  int error = 0;
  auto port = AddPort("MAP", &error);
  ASSERT_TRUE(port) << strerror(error);
  EXPECT_TRUE(FindPort("MAP"));
}

TEST_F(PublicPortTest, AnUnsafeDirectoryHidesEveryPort) {
  int error = 0;
  auto port = AddPort("MAP", &error);
  ASSERT_TRUE(port);
  ASSERT_TRUE(FindPort("MAP"));

  ASSERT_EQ(chmod(directory().c_str(), 0777), 0);
  EXPECT_FALSE(FindPort("MAP"));
  EXPECT_FALSE(AddPort("OTHER", &error));
  EXPECT_EQ(error, EPERM);
  ASSERT_EQ(chmod(directory().c_str(), 0710), 0);
  EXPECT_FALSE(FindPort("MAP"));
  ASSERT_EQ(chmod(directory().c_str(), 0700), 0);
  EXPECT_TRUE(FindPort("MAP"));

  if (geteuid() == 0) {
    ASSERT_EQ(chown(directory().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(FindPort("MAP"));
    ASSERT_EQ(chown(directory().c_str(), 0, 0), 0);
  } else {
    std::cout << "NOTICE: not root; the foreign-owner case is not checked\n";
  }
}

TEST_F(PublicPortTest, ASymlinkedDirectoryHidesEveryPort) {
  TempDir elsewhere;
  const std::string real = elsewhere.path() + "/rexx";
  {
    ScopedEnv env("XDG_RUNTIME_DIR", elsewhere.path());
    int error;
    auto port = AddPort("MAP", &error);
    ASSERT_TRUE(port);
    ASSERT_EQ(symlink(real.c_str(), directory().c_str()), 0);
    ScopedEnv linked("XDG_RUNTIME_DIR", runtime_.path());
    EXPECT_FALSE(FindPort("MAP"));
    EXPECT_FALSE(AddPort("MAP2", &error));
  }
}

struct Reply {
  const char* what;
  std::optional<std::string> bytes;
};

TEST_F(PublicPortTest, EveryMalformedReplyFailsTheExchange) {
  std::string oversized = std::string("RXR1\0\0\0\0\x01", 9);
  oversized += std::string("\xf7\xff\x00\x00", 4);
  oversized.resize(kMaxRexxDatagram + 1, 'x');
  const Reply replies[] = {
      {"no reply", std::nullopt},
      {"short", std::string("RXR1\0\0", 6)},
      {"wrong magic", std::string("RXM1\0\0\0\0\0", 9)},
      {"flag 2", std::string("RXR1\0\0\0\0\x02", 9)},
      {"length beyond", std::string("RXR1\0\0\0\0\x01\x09\0\0\0OK", 15)},
      {"trailing", std::string("RXR1\0\0\0\0\x01\x02\0\0\0OK!", 16)},
      {"over 65536 bytes", oversized},
  };
  for (const Reply& reply : replies) {
    RawHost host("MAP", reply.bytes);
    ASSERT_TRUE(host.ready());
    RexxCommandResult result = SendRexxCommand("MAP", "goto 1 2 3", true);
    EXPECT_FALSE(result.host_success) << reply.what;
    EXPECT_FALSE(result.result) << reply.what;
  }
  // The same host, well-formed: the exchange succeeds.
  RawHost good("MAP", std::string("RXR1\0\0\0\0\x01\x02\0\0\0OK", 15));
  ASSERT_TRUE(good.ready());
  RexxCommandResult result = SendRexxCommand("MAP", "goto 1 2 3", true);
  EXPECT_TRUE(result.host_success);
  ASSERT_TRUE(result.result);
  EXPECT_STREQ(result.result.get(), "OK");
}

TEST_F(PublicPortTest, AThousandExchangesLeaveNoDescriptorsOrMemoryBehind) {
  MapHost host(runtime_.path());
  // Warm up stdio and the allocator first.
  ASSERT_TRUE(SendRexxCommand("KARTOVELL.1", "ping", true).host_success);
  const size_t descriptors = OpenDescriptors();
  const size_t heap = mallinfo2().uordblks;
  for (int i = 0; i < 1000; ++i) {
    RexxCommandResult result = SendRexxCommand("KARTOVELL.1", "ping", true);
    ASSERT_TRUE(result.host_success) << i;
    ASSERT_STREQ(result.result.get(), "OK");
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_LE(mallinfo2().uordblks, heap + 1024);
}

}  // namespace
