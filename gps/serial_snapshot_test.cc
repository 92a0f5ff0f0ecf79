#include "gps/serial_snapshot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gps/nmea.h"
#include "platform/scoped_fd.h"
#include "platform/serial_device.h"
#include "tests/test_support.h"

namespace {

using std::chrono::milliseconds;


struct Snapshot {
  uint32_t count;
  std::string text;
  SnapshotReport report;
};

Snapshot Take(const std::string& device, int32_t unit = 0, uint32_t baud = 9600) {
  NmeaBuffer buffer = {};
  Snapshot snapshot;
  snapshot.count =
      ReadSerialSnapshot(buffer, device.c_str(), unit, baud, snapshot.report);
  snapshot.text = buffer.text;
  return snapshot;
}

// The window ends at the first line the position parser accepts (the forms
// it accepts are the parser's tests).
TEST(SerialSnapshot, TheWindowEndsAtTheFirstLineTheParserAccepts) {
  // What the receiver writes, and after how long.
  using Pieces = std::vector<std::pair<int, std::string>>;
  struct Window {
    const char* what;
    Pieces pieces;
    WindowEnd end;
    std::string text;  // what the snapshot holds
  };
  std::string bad_rmc = kMunichRmc;
  bad_rmc[bad_rmc.size() - 3] = '0';
  const std::string no_fix = FrameNmeaSentence("GPRMC,,V,,,,,,,,,,N");
  const Window windows[] = {
      {"a burst in pieces, joined mid-sentence",
       {{50, "46.9,M,,*47\r\n" + kMunichGga.substr(0, 20)}, {30, kMunichGga.substr(20)},
        {0, kMunichRmc.substr(0, 30)}, {30, kMunichRmc.substr(30, 40)},
        {30, kMunichRmc.substr(70)}, {300, kMunichGga}},
       WindowEnd::kPosition, "46.9,M,,*47\r\n" + kMunichGga + kMunichRmc},
      {"line noise on one RMC line, a good one later",
       {{50, bad_rmc}, {400, kMunichGga + kMunichRmc}, {300, kMunichGga}},
       WindowEnd::kPosition, bad_rmc + kMunichGga + kMunichRmc},
      {"no fix keeps it open", {{50, no_fix}}, WindowEnd::kTimeout, no_fix},
  };
  for (const Window& window : windows) {
    SCOPED_TRACE(window.what);
    Pty pty;
    std::thread receiver([&] {
      // Once the reader has the line, at the pace that is tried: the delays
      // are the receiver's own, not a wait for the reader.
      if (!pty.AwaitReader()) return;
      for (const auto& [delay_ms, text] : window.pieces) {
        std::this_thread::sleep_for(milliseconds(delay_ms));
        pty.Write(text);
      }
    });
    Snapshot snapshot = Take(pty.device());
    receiver.join();
    EXPECT_EQ(snapshot.report.end, window.end);
    EXPECT_EQ(snapshot.text, window.text);
    EXPECT_EQ(snapshot.count, snapshot.text.size());
  }
}

TEST(SerialSnapshot, HowTheInputEnds) {
  TempDir dir;
  std::string log;
  while (log.size() < 12000) log += kMunichGga;
  WriteWholeFile(dir.File("log"), log);
  Snapshot full = Take(dir.File("log"));
  EXPECT_EQ(full.report.end, WindowEnd::kFull);
  EXPECT_EQ(full.text, log.substr(0, kNmeaBufferSize - 1));

  // Zero bytes are dropped so that they cannot hide the text after them.
  WriteWholeFile(dir.File("zeros"), std::string("AB\0\0CD\r\n", 8) + kMunichGga);
  Snapshot zeros = Take(dir.File("zeros"));
  EXPECT_EQ(zeros.report.end, WindowEnd::kInputEnded);
  EXPECT_EQ(zeros.text, "ABCD\r\n" + kMunichGga);
  EXPECT_EQ(zeros.count, 8 + kMunichGga.size());

  // A file the kernel cannot count (procfs says it has no size) is read
  // all the same, to its end.
  Snapshot unsized = Take("/proc/sys/kernel/ostype");
  EXPECT_EQ(unsized.report.end, WindowEnd::kInputEnded);
  EXPECT_EQ(unsized.text, "Linux\n");

  // A receiver unplugged mid-read keeps what was read.
  Pty pty;
  std::thread receiver([&] {
    if (pty.AwaitReader()) pty.Write(kMunichGga);
    pty.AwaitTaken();
    pty.CloseMaster();
  });
  Snapshot unplugged = Take(pty.device());
  receiver.join();
  EXPECT_EQ(unplugged.report.end, WindowEnd::kInputEnded);
  EXPECT_EQ(unplugged.text, kMunichGga);

  // Text queued on a tty before the read (a holder did not read it) is not
  // the receiver's: the window waits for the next.
  Pty held;
  const ScopedFd holder(open(held.device().c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  held.Write(FrameNmeaSentence("GPRMC,000001,A,0100.000,N,00100.000,E,,,230394,,"));
  std::thread fresh([&] { if (held.AwaitReader()) held.Write(kMunichRmc); });
  EXPECT_EQ(Take(held.device()).text, kMunichRmc);
  fresh.join();

  // A FIFO waits for a writer that comes late; the writer's leaving ends it.
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  for (const auto& [text, end] : {std::pair{kMunichRmc, WindowEnd::kPosition},
                                  std::pair{kMunichGga, WindowEnd::kInputEnded}}) {
    std::thread writer([&, &sent = text] {
      // Without a reader this fails (ENXIO) rather than waiting for one.
      ScopedFd fifo;
      Eventually([&] {
        fifo = ScopedFd(open(dir.File("fifo").c_str(), O_WRONLY | O_NONBLOCK));
        return static_cast<bool>(fifo);
      });
      (void)!write(fifo.get(), sent.data(), sent.size());
    });
    Snapshot late = Take(dir.File("fifo"));
    writer.join();
    EXPECT_EQ(late.report.end, end);
    EXPECT_EQ(late.text, text);
  }

  // A device that never stops sending zero bytes still ends the window.
  alarm(20);  // a lost deadline fails here instead of hanging the suite
  Snapshot flood = Take("/dev/zero");
  alarm(0);
  EXPECT_EQ(flood.report.end, WindowEnd::kTimeout);
}

// DEVICE and UNIT name one file, and a file that cannot be read is
// reported by that name.
TEST(SerialSnapshot, TheFileDeviceAndUnitName) {
  TempDir dir;
  WriteWholeFile(dir.File("gps"), "");
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink("loop", dir.File("loop").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", dir.File("dangling").c_str()), 0);
  const std::tuple<std::string, int32_t, std::string, int> cases[] = {
      {"ttyNAVB", 0, "/dev/ttyNAVB0", ENOENT},
      {"null", 0, "/dev/null", 0},  // an existing name in /dev
      {dir.File("gps"), 0, dir.File("gps"), 0},
      {dir.File("gps"), 1, dir.File("gps") + "1", ENOENT},
      {dir.path() + "/", 0, dir.path() + "/0", ENOENT},  // a directory to complete
      {"ttyS", -1, "/dev/ttyS-1", ENOENT},
      {"/dev/ttyNOPE7", 0, "/dev/ttyNOPE7", ENOENT},  // missing: as typed
      {dir.File("sub"), 0, dir.File("sub"), EISDIR},
      {dir.File("loop"), 0, dir.File("loop"), ELOOP},
      {dir.File("dangling"), 0, dir.File("dangling"), ENOENT},
      {std::string(300, 'x'), 0, std::string(255, 'x'), ENAMETOOLONG},
  };
  for (const auto& [device, unit, path, error] : cases) {
    Snapshot snapshot = Take(device, unit);
    EXPECT_EQ(snapshot.report.path, path);
    EXPECT_EQ(snapshot.report.error, -error) << path;
    EXPECT_EQ(snapshot.report.end == WindowEnd::kOpenFailed, error != 0) << path;
  }
  // A recording in the working directory, named without a slash.
  const std::string here = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(Take("gps").report.path, std::string("gps"));
  std::filesystem::current_path(here);
}

TEST(SerialSnapshot, TheLineIsRawWhileReadAndRestoredAfter) {
  Pty pty;
  termios cooked;
  tcgetattr(pty.master(), &cooked);
  cooked.c_lflag |= ICANON | ECHO;
  cooked.c_iflag |= ICRNL;
  cfsetispeed(&cooked, B4800);
  cfsetospeed(&cooked, B4800);
  ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &cooked), 0);

  for (uint32_t rate : {14400u, 0u, 9600u}) {
    SCOPED_TRACE(rate);
    termios during = {};
    std::thread receiver([&] {  // once the reader has set the line up
      if (pty.AwaitReader() && tcgetattr(pty.master(), &during) == 0) pty.Write(kMunichRmc);
    });
    EXPECT_EQ(Take(pty.device(), 0, rate).report.end, WindowEnd::kPosition);
    receiver.join();
    EXPECT_FALSE(during.c_lflag & (ICANON | ECHO));
    EXPECT_FALSE(during.c_iflag & (ICRNL | IXON));
    EXPECT_TRUE(during.c_cflag & CLOCAL);
    EXPECT_EQ(cfgetispeed(&during), rate == 9600 ? B9600 : B4800);
    termios after;
    tcgetattr(pty.master(), &after);
    EXPECT_TRUE(after.c_lflag & ECHO);
    EXPECT_TRUE(after.c_iflag & ICRNL);
    EXPECT_EQ(cfgetispeed(&after), B4800);
  }
}

}  // namespace
