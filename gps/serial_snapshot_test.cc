#include "gps/serial_snapshot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gps/nmea.h"
#include "platform/scoped_fd.h"
#include "platform/serial_device.h"
#include "tests/test_support.h"

namespace {

using std::chrono::milliseconds;

const std::string kRmc =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
const std::string kGga =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";

struct Snapshot {
  uint32_t count;
  std::string text;
  SnapshotReport report;
};

Snapshot Take(const std::string& device, int32_t unit = 0,
              uint32_t baud = 9600, const std::string& before = "") {
  NmeaBuffer buffer = {};
  memcpy(buffer.text, before.data(), before.size());
  Snapshot snapshot;
  snapshot.count =
      ReadSerialSnapshot(buffer, device.c_str(), unit, baud, snapshot.report);
  snapshot.text = buffer.text;
  return snapshot;
}

// What the receiver writes, and after how long.
struct Piece {
  int delay_ms;
  std::string text;
};

struct Window {
  const char* what;
  std::vector<Piece> pieces;
  WindowEnd end;
  std::string text;  // what the snapshot holds
};

TEST(SerialSnapshot, TheWindowEndsAtTheFirstLineTheParserAccepts) {
  std::string bad_rmc = kRmc;
  bad_rmc[bad_rmc.size() - 3] = '0';
  const std::string no_fix = FrameNmeaSentence("GPRMC,,V,,,,,,,,,,N");
  const std::string gn = FrameNmeaSentence(
      "GNRMC,1,A,5543.0328,N,03724.7204,E,,,,,");
  const std::string cr_only = kRmc.substr(0, kRmc.size() - 1);
  const Window windows[] = {
      {"a burst in pieces, joined mid-sentence",
       {{50, "46.9,M,,*47\r\n" + kGga.substr(0, 20)}, {30, kGga.substr(20)},
        {0, kRmc.substr(0, 30)}, {30, kRmc.substr(30, 40)},
        {30, kRmc.substr(70)}, {300, kGga}},
       WindowEnd::kPosition, "46.9,M,,*47\r\n" + kGga + kRmc},
      {"line noise on one RMC line, a good one later",
       {{50, bad_rmc}, {400, kGga + kRmc}, {300, kGga}},
       WindowEnd::kPosition, bad_rmc + kGga + kRmc},
      {"noise before the $", {{50, "\x13\xff" + kRmc}, {300, kGga}},
       WindowEnd::kPosition, "\x13\xff" + kRmc},
      {"a lone CR ends the line", {{50, cr_only}, {300, kGga}},
       WindowEnd::kPosition, cr_only},
      {"another talker", {{50, gn}, {300, kGga}}, WindowEnd::kPosition, gn},
      {"no fix keeps it open", {{50, no_fix}}, WindowEnd::kTimeout, no_fix},
      {"nothing at all", {}, WindowEnd::kTimeout, ""},
  };
  for (const Window& window : windows) {
    SCOPED_TRACE(window.what);
    Pty pty;
    std::thread receiver([&] {
      for (const Piece& piece : window.pieces) {
        std::this_thread::sleep_for(milliseconds(piece.delay_ms));
        pty.Write(piece.text);
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
  while (log.size() < 12000) log += kGga;
  WriteWholeFile(dir.File("log"), log);
  Snapshot full = Take(dir.File("log"));
  EXPECT_EQ(full.report.end, WindowEnd::kFull);
  EXPECT_EQ(full.text, log.substr(0, kNmeaBufferSize - 1));
  // Appending: only the room that is left is taken.
  const std::string before(9000, 'x');
  Snapshot appended = Take(dir.File("log"), 0, 9600, before);
  EXPECT_EQ(appended.count, kNmeaBufferSize - 1 - 9000);
  EXPECT_EQ(appended.text, before + log.substr(0, kNmeaBufferSize - 1 - 9000));

  // Zero bytes are dropped so that they cannot hide the text after them.
  WriteWholeFile(dir.File("zeros"), std::string("AB\0\0CD\r\n", 8) + kGga);
  Snapshot zeros = Take(dir.File("zeros"));
  EXPECT_EQ(zeros.report.end, WindowEnd::kInputEnded);
  EXPECT_EQ(zeros.text, "ABCD\r\n" + kGga);
  EXPECT_EQ(zeros.count, 8 + kGga.size());

  // A FIFO whose writer goes away.
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ScopedFd keeper(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
  ScopedFd writer(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
  ASSERT_EQ(write(writer.get(), kGga.data(), kGga.size()),
            static_cast<ssize_t>(kGga.size()));
  std::thread closer([&] {
    std::this_thread::sleep_for(milliseconds(50));
    writer = ScopedFd();
  });
  Snapshot piped = Take(fifo);
  closer.join();
  EXPECT_EQ(piped.report.end, WindowEnd::kInputEnded);
  EXPECT_EQ(piped.text, kGga);

  // A receiver unplugged mid-read keeps what was read.
  Pty pty;
  std::thread receiver([&] {
    std::this_thread::sleep_for(milliseconds(50));
    pty.Write(kGga);
    std::this_thread::sleep_for(milliseconds(50));
    pty.CloseMaster();
  });
  Snapshot unplugged = Take(pty.device());
  receiver.join();
  EXPECT_EQ(unplugged.report.end, WindowEnd::kInputEnded);
  EXPECT_EQ(unplugged.text, kGga);
}

TEST(SerialSnapshot, DevicesThatCannotBeReadAreReportedByTheirOwnName) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink("loop", dir.File("loop").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", dir.File("dangling").c_str()), 0);
  ScopedFd listener(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s",
           dir.File("socket").c_str());
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address),
                 sizeof address),
            0);
  struct Case {
    std::string device;
    int error;
    std::string path;
  };
  const Case cases[] = {
      {"/dev/navbeacon-no-tty", ENOENT, "/dev/navbeacon-no-tty0"},
      {dir.File("sub"), EISDIR, dir.File("sub")},
      {dir.File("loop"), ELOOP, dir.File("loop")},
      {dir.File("dangling"), ENOENT, dir.File("dangling")},
      {dir.File("socket"), ENXIO, dir.File("socket")},
      {std::string(300, 'x'), ENAMETOOLONG, std::string(255, 'x')},
  };
  for (const Case& c : cases) {
    Snapshot snapshot = Take(c.device);
    EXPECT_EQ(snapshot.report.end, WindowEnd::kOpenFailed) << c.device;
    EXPECT_EQ(snapshot.report.error, c.error) << c.device;
    EXPECT_EQ(snapshot.report.path, c.path);
    EXPECT_EQ(snapshot.text, "");
  }
}

TEST(SerialDevicePath, NameAndUnit) {
  TempDir dir;
  WriteWholeFile(dir.File("gps"), "");
  const std::pair<std::pair<std::string, int32_t>, std::string> cases[] = {
      {{"/dev/ttyUSB", 1}, "/dev/ttyUSB1"},
      {{"ttyACM", 0}, "/dev/ttyACM0"},
      {{"null", 0}, "/dev/null"},  // an existing name in /dev
      {{dir.File("gps"), 0}, dir.File("gps")},
      {{dir.File("gps"), 1}, dir.File("gps") + "1"},
      {{dir.path() + "/", 0}, dir.path() + "/0"},  // a directory to complete
      {{"ttyS", -1}, "/dev/ttyS-1"},
      {{"/dev/ttyNOPE7", 0}, "/dev/ttyNOPE7"},  // missing: as typed
      {{"/dev/ttyNOPE7", 1}, "/dev/ttyNOPE71"},
  };
  for (const auto& [device, expected] : cases) {
    char path[256];
    ASSERT_TRUE(SerialDevicePath(device.first.c_str(), device.second, path,
                                 sizeof path));
    EXPECT_EQ(path, expected);
  }
}

TEST(SerialSnapshot, TheLineIsRawWhileReadAndRestoredAfter) {
  Pty pty;
  // Hold the device open so that its settings outlive each snapshot.
  ScopedFd held(open(pty.device().c_str(), O_RDWR | O_NOCTTY));
  ASSERT_TRUE(held);
  termios cooked;
  tcgetattr(held.get(), &cooked);
  cooked.c_lflag |= ICANON | ECHO;
  cooked.c_iflag |= ICRNL;
  cfsetispeed(&cooked, B4800);
  cfsetospeed(&cooked, B4800);
  ASSERT_EQ(tcsetattr(held.get(), TCSANOW, &cooked), 0);

  for (uint32_t rate : {14400u, 0u, 9600u}) {
    SCOPED_TRACE(rate);
    termios during = {};
    std::thread receiver([&] {
      std::this_thread::sleep_for(milliseconds(100));
      tcgetattr(held.get(), &during);
      pty.Write(kRmc);
    });
    EXPECT_EQ(Take(pty.device(), 0, rate).report.end, WindowEnd::kPosition);
    receiver.join();
    EXPECT_FALSE(during.c_lflag & (ICANON | ECHO));
    EXPECT_FALSE(during.c_iflag & (ICRNL | IXON));
    EXPECT_TRUE(during.c_cflag & CLOCAL);
    EXPECT_EQ(cfgetispeed(&during), rate == 9600 ? B9600 : B4800);
    termios after;
    tcgetattr(held.get(), &after);
    EXPECT_TRUE(after.c_lflag & ECHO);
    EXPECT_TRUE(after.c_iflag & ICRNL);
    EXPECT_EQ(cfgetispeed(&after), B4800);
  }
}

}  // namespace
