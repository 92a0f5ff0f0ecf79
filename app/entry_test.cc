#include "app/entry.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "platform/break.h"
#include "platform/console.h"

namespace {

// Counts what the entry asks of the outside world.
class CountingServices : public RunServices {
 public:
  int searches = 0;
  bool UsbDevicePresent(uint32_t, uint32_t) override {
    ++searches;
    return false;
  }
  uint32_t ReadSerialSnapshot(NmeaBuffer&, const char*, int32_t, uint32_t,
                              SnapshotFailure&) override {
    return 0;
  }
  GotoOutcome SendGotoCommand(int32_t, double, double) override {
    return GotoOutcome::kFailed;
  }
  bool FindReceiverTty(uint32_t, uint32_t, char*, size_t) override {
    return false;
  }
};

std::pair<int, std::string> Entry(std::vector<const char*> words,
                                  CountingServices& services) {
  testing::internal::CaptureStdout();
  int status = EntryMain(words, services);
  fflush(stdout);
  return {status, testing::internal::GetCapturedStdout()};
}

TEST(Entry, HelpAndVersion) {
  CountingServices services;
  auto [help_status, help] = Entry({"--help"}, services);
  EXPECT_EQ(help_status, 0);
  EXPECT_NE(help.find("DEVICE/A,UNIT/A,BAUDRATE/A,ZOOM/N,VERBOSE/S,POSITION/S"),
            std::string::npos);
  EXPECT_NE(help.find("default 12"), std::string::npos);
  EXPECT_NE(help.find("2.0 s"), std::string::npos);
  auto [version_status, version] = Entry({"--version"}, services);
  EXPECT_EQ(version_status, 0);
  EXPECT_EQ(version, "1.0 (25.06.16) navbeacon\n");
  EXPECT_EQ(services.searches, 0);
}

TEST(BreakDeathTest, APendingBreakEndsTheProgramWhereItPrints) {
  EXPECT_EXIT(
      {
        InstallBreakHandler();
        Printf("before\n");
        raise(SIGINT);
        Printf("after\n");
        _exit(0);
      },
      testing::ExitedWithCode(kExitBreak), "\\*\\*\\*Break\n");
}

TEST(Break, TheBreakDescriptorBecomesReadable) {
  // In a child, so that the flag does not stay set for the other tests.
  EXPECT_EXIT(
      {
        InstallBreakHandler();
        if (BreakRequested()) _exit(1);
        raise(SIGINT);
        char byte;
        _exit(BreakRequested() && read(BreakFd(), &byte, 1) == 1 ? 7 : 2);
      },
      testing::ExitedWithCode(7), "");
}

}  // namespace
