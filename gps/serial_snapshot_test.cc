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

#include "platform/public_port.h"
#include "platform/serial_device.h"
#include "tests/test_support.h"

namespace {

using std::chrono::milliseconds;

constexpr char kRmc[] =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
constexpr char kGga[] =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";

struct Snapshot {
  uint32_t count;
  std::string text;
  SnapshotFailure failure;
};

Snapshot Take(const std::string& device, int32_t unit = 0,
              uint32_t baud = 9600, const std::string& before = "") {
  NmeaBuffer buffer = {};
  memcpy(buffer.text, before.data(), before.size());
  Snapshot snapshot;
  snapshot.count = ReadSerialSnapshot(buffer, device.c_str(), unit, baud,
                                      snapshot.failure);
  snapshot.text = buffer.text;
  return snapshot;
}

TEST(SerialSnapshot, NothingPendingEndsWithTheWindowAndNothingRead) {
  Pty pty;
  Snapshot snapshot = Take(pty.device());
  EXPECT_EQ(snapshot.count, 0u);
  EXPECT_EQ(snapshot.text, "");
  EXPECT_EQ(snapshot.failure.open_error, 0);
}

TEST(SerialSnapshot, TextArrivingInPiecesIsTakenUpToTheRmcLine) {
  Pty pty;
  const std::string rmc = kRmc;
  std::thread receiver([&] {
    std::this_thread::sleep_for(milliseconds(50));
    // Joined mid-burst: the end of a sentence, then whole ones in pieces.
    pty.Write("46.9,M,,*47\r\n");
    pty.Write(std::string(kGga).substr(0, 20));
    std::this_thread::sleep_for(milliseconds(30));
    pty.Write(std::string(kGga).substr(20));
    pty.Write(rmc.substr(0, 30));
    std::this_thread::sleep_for(milliseconds(30));
    pty.Write(rmc.substr(30, rmc.size() - 31));
    std::this_thread::sleep_for(milliseconds(30));
    pty.Write(rmc.substr(rmc.size() - 1) + "$GPG");
    // The next burst must not be part of this snapshot.
    std::this_thread::sleep_for(milliseconds(300));
    pty.Write(kGga);
  });
  Snapshot snapshot = Take(pty.device());
  receiver.join();
  // The carriage returns are still there: the line is raw.
  const std::string expected = "46.9,M,,*47\r\n" + std::string(kGga) + rmc;
  EXPECT_TRUE(snapshot.text == expected || snapshot.text == expected + "$GPG")
      << testing::PrintToString(snapshot.text);
  EXPECT_EQ(snapshot.count, snapshot.text.size());
}

TEST(SerialSnapshot, ThreeHundredPendingBytesAreAppendedExactly) {
  Pty pty;
  std::string pending;
  while (pending.size() < 300) pending += kGga;
  pending.resize(300);
  std::thread receiver([&] {
    std::this_thread::sleep_for(milliseconds(50));
    pty.Write(pending);
  });
  Snapshot snapshot = Take(pty.device());
  receiver.join();
  EXPECT_EQ(snapshot.count, 300u);
  EXPECT_EQ(snapshot.text, pending);
}

TEST(SerialSnapshot, TheCallersTextIsNeverOverrun) {
  TempDir dir;
  std::string log;
  while (log.size() < 12000) log += kGga;
  WriteWholeFile(dir.File("log.nmea"), log);
  Snapshot full = Take(dir.File("log.nmea"));
  EXPECT_EQ(full.count, kNmeaBufferSize - 1);
  EXPECT_EQ(full.text, log.substr(0, kNmeaBufferSize - 1));

  // Appending: only the room that is left is taken.
  const std::string before(9000, 'x');
  Snapshot appended = Take(dir.File("log.nmea"), 0, 9600, before);
  EXPECT_EQ(appended.count, kNmeaBufferSize - 1 - 9000);
  EXPECT_EQ(appended.text, before + log.substr(0, kNmeaBufferSize - 1 - 9000));
}

TEST(SerialSnapshot, ZeroBytesDoNotHideTheTextAfterThem) {
  TempDir dir;
  const std::string text = std::string("AB\0\0CD\r\n", 8) + kRmc;
  WriteWholeFile(dir.File("log"), text);
  Snapshot snapshot = Take(dir.File("log"));
  EXPECT_EQ(snapshot.text, "ABCD\r\n" + std::string(kRmc));
  EXPECT_EQ(snapshot.count, text.size());
}

TEST(SerialSnapshot, AFileOrFifoEndsTheReadAtItsEnd) {
  TempDir dir;
  WriteWholeFile(dir.File("gga"), kGga);
  Snapshot file = Take(dir.File("gga"));
  EXPECT_EQ(file.text, kGga);

  // A writer that has written and is still there, then goes away.
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int keeper = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // lets it open
  int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, kGga, strlen(kGga)),
            static_cast<ssize_t>(strlen(kGga)));
  std::thread closer([&] {
    std::this_thread::sleep_for(milliseconds(50));
    close(writer);
  });
  Snapshot snapshot = Take(fifo);
  closer.join();
  close(keeper);
  EXPECT_EQ(snapshot.text, kGga);
}

TEST(SerialSnapshot, AReceiverUnpluggedMidReadKeepsWhatWasRead) {
  Pty pty;
  std::thread receiver([&] {
    std::this_thread::sleep_for(milliseconds(50));
    pty.Write(kGga);
    std::this_thread::sleep_for(milliseconds(50));
    pty.CloseMaster();
  });
  Snapshot snapshot = Take(pty.device());
  receiver.join();
  EXPECT_EQ(snapshot.text, kGga);
  EXPECT_EQ(snapshot.count, strlen(kGga));
}

TEST(SerialSnapshot, DevicesThatCannotBeReadFailCleanly) {
  TempDir dir;
  Snapshot missing = Take("/dev/navbeacon-no-such-tty");
  EXPECT_EQ(missing.count, 0u);
  EXPECT_EQ(missing.text, "");
  EXPECT_EQ(missing.failure.open_error, ENOENT);
  EXPECT_STREQ(missing.failure.path, "/dev/navbeacon-no-such-tty0");

  ASSERT_EQ(mkdir(dir.File("sub0").c_str(), 0700), 0);
  EXPECT_EQ(Take(dir.File("sub")).failure.open_error, EISDIR);
  EXPECT_EQ(Take("/dev/null").count, 0u);

  const std::string socket_path = dir.File("socket");
  ScopedFd listener(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address),
                 sizeof address),
            0);
  EXPECT_NE(Take(socket_path).failure.open_error, 0);

  WriteWholeFile(dir.File("secret"), kRmc);
  chmod(dir.File("secret").c_str(), 0);
  if (geteuid() != 0) {
    Snapshot denied = Take(dir.File("secret"));
    EXPECT_EQ(denied.failure.open_error, EACCES);
    EXPECT_EQ(denied.text, "");
  } else {
    std::cout << "NOTICE: running as root; permissions do not apply\n";
  }
}

TEST(SerialDevicePath, NameAndUnit) {
  TempDir dir;
  WriteWholeFile(dir.File("gps"), "");
  char path[256];
  auto Path = [&](const std::string& device, int32_t unit) {
    EXPECT_TRUE(SerialDevicePath(device.c_str(), unit, path, sizeof path));
    return std::string(path);
  };
  EXPECT_EQ(Path("/dev/ttyUSB", 1), "/dev/ttyUSB1");
  EXPECT_EQ(Path("ttyACM", 0), "/dev/ttyACM0");
  EXPECT_EQ(Path("null", 0), "/dev/null");  // an existing name in /dev
  EXPECT_EQ(Path(dir.File("gps"), 0), dir.File("gps"));
  EXPECT_EQ(Path(dir.File("gps"), 1), dir.File("gps") + "1");
  EXPECT_EQ(Path("ttyS", -1), "/dev/ttyS-1");
  EXPECT_EQ(Path("/dev/ttyNOPE7", 0), "/dev/ttyNOPE7");  // missing, as typed
  EXPECT_EQ(Path("/dev/ttyNOPE7", 1), "/dev/ttyNOPE71");
  EXPECT_FALSE(SerialDevicePath(std::string(300, 'x').c_str(), 0, path,
                                sizeof path));
}

TEST(SerialSnapshot, APseudoTerminalByPrefixAndUnit) {
  Pty pty;
  const std::string device = pty.device();
  const size_t digits = device.find_last_not_of("0123456789") + 1;
  std::thread receiver([&] {
    std::this_thread::sleep_for(milliseconds(50));
    pty.Write(kRmc);
  });
  Snapshot snapshot = Take(device.substr(0, digits),
                           std::stoi(device.substr(digits)));
  receiver.join();
  EXPECT_EQ(snapshot.text, kRmc) << snapshot.failure.path << " "
                                 << strerror(snapshot.failure.open_error);
}

speed_t LineSpeed(const std::string& device) {
  int fd = open(device.c_str(), O_RDONLY | O_NOCTTY);
  termios settings;
  tcgetattr(fd, &settings);
  close(fd);
  return cfgetispeed(&settings);
}

TEST(SerialSnapshot, SpeedsTheLineCannotTakeLeaveItUnchanged) {
  Pty pty;
  // Hold the device open so that its settings outlive each snapshot.
  int held = open(pty.device().c_str(), O_RDONLY | O_NOCTTY);
  ASSERT_GE(held, 0);
  termios settings;
  tcgetattr(held, &settings);
  cfsetispeed(&settings, B4800);
  cfsetospeed(&settings, B4800);
  ASSERT_EQ(tcsetattr(held, TCSANOW, &settings), 0);

  for (uint32_t rate : {0u, 12345u, 0xffffffffu}) {
    pty.Write(kRmc);
    Take(pty.device(), 0, rate);
    EXPECT_EQ(LineSpeed(pty.device()), B4800) << rate;
  }
  pty.Write(kRmc);
  Take(pty.device(), 0, 9600);
  EXPECT_EQ(LineSpeed(pty.device()), B9600);
  tcgetattr(held, &settings);
  EXPECT_FALSE(settings.c_lflag & (ICANON | ECHO));
  EXPECT_FALSE(settings.c_iflag & (ICRNL | IXON));
  EXPECT_TRUE(settings.c_cflag & CLOCAL);
  close(held);
}

}  // namespace
