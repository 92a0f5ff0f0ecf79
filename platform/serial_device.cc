#include "platform/serial_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/scoped_fd.h"

namespace {

struct BaudRate {
  uint32_t rate;
  speed_t speed;
};

constexpr BaudRate kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},
    {134, B134},         {150, B150},         {200, B200},
    {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedForRate(uint32_t rate, speed_t& speed) {
  for (const BaudRate& entry : kBaudRates) {
    if (entry.rate == rate) {
      speed = entry.speed;
      return true;
    }
  }
  return false;
}

bool Exists(const char* path) {
  struct stat info;
  return stat(path, &info) == 0;
}

// Something is there under the name itself, be it only a dangling link.
bool NameTaken(const char* path) {
  struct stat info;
  const size_t length = strlen(path);
  return length > 0 && path[length - 1] != '/' && lstat(path, &info) == 0;
}

int8_t SetParams(IOExtSer& request) {
  if (!request.is_tty) return kSerialOk;
  struct termios settings;
  if (tcgetattr(request.fd, &settings) != 0) return SerErr_LineErr;
  cfmakeraw(&settings);
  settings.c_iflag &= ~(IXON | IXOFF | IXANY);
  settings.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  // B0 would hang the line up: it is no speed.
  speed_t speed;
  const bool known = SpeedForRate(request.io_Baud, speed);
  const bool speed_set = known && cfsetispeed(&settings, speed) == 0 &&
                         cfsetospeed(&settings, speed) == 0;
  if (tcsetattr(request.fd, TCSANOW, &settings) != 0) return SerErr_LineErr;
  // What waited in the queue was sent before this run (to a reader that
  // held the tty and did not read it): only what comes from now on is
  // the receiver's current text.
  tcflush(request.fd, TCIFLUSH);
  request.ahead_start = request.ahead_end = 0;
  request.counted = 0;
  return speed_set ? kSerialOk : SerErr_BaudMismatch;
}

// Whether a read would not wait: text, end of file, a hang-up, an error.
// A FIFO whose first writer has not come yet is not readable; one whose
// last writer has gone is (it hangs up).
bool Readable(int fd) {
  struct pollfd watched = {fd, POLLIN, 0};
  return poll(&watched, 1, 0) > 0 && watched.revents != 0;
}

// Counts what the kernel holds. When it cannot count, or counts nothing
// while a read would not wait, a read ahead tells text from the end (a
// few bytes at once, so that text is not taken a byte a call).
int8_t Query(IOExtSer& request) {
  int waiting = 0;
  if (request.ended || ioctl(request.fd, FIONREAD, &waiting) != 0 ||
      waiting < 0) {
    waiting = 0;
  }
  const bool has_ahead = request.ahead_start < request.ahead_end;
  if (!request.ended && !has_ahead && waiting == 0) {
    if (Readable(request.fd)) {
      const ssize_t got = read(request.fd, request.ahead, sizeof request.ahead);
      const int error = got < 0 ? errno : 0;
      if (got > 0) {
        request.ahead_start = 0;
        request.ahead_end = static_cast<uint8_t>(got);
      } else if (got == 0 || error == EIO) {
        // End of file, a FIFO's last writer gone, or a tty whose other
        // side went away.
        request.ended = true;
      } else if (error != EAGAIN && error != EINTR) {
        return SerErr_LineErr;
      }
    }
  }
  request.counted = static_cast<uint32_t>(waiting) + request.ahead_end -
                    request.ahead_start;
  request.io_Actual = request.counted;
  request.io_Status = request.ended ? kSerialInputEnded : 0;
  return kSerialOk;
}

int8_t Read(IOExtSer& request) {
  if (request.io_Length > request.counted || request.io_Data == nullptr) {
    return IOERR_BADLENGTH;
  }
  char* into = static_cast<char*>(request.io_Data);
  size_t copied = 0;
  const size_t ahead = std::min<size_t>(request.ahead_end - request.ahead_start,
                                        request.io_Length);
  memcpy(into, request.ahead + request.ahead_start, ahead);
  request.ahead_start += static_cast<uint8_t>(ahead);
  copied = ahead;
  while (copied < request.io_Length) {
    const ssize_t got =
        read(request.fd, into + copied, request.io_Length - copied);
    if (got > 0) {
      copied += static_cast<size_t>(got);
      continue;
    }
    const int error = got < 0 ? errno : 0;
    if (got < 0 && error == EINTR) continue;
    if (got == 0 || error == EIO) request.ended = true;
    if (got < 0 && error != EIO && error != EAGAIN) {
      request.counted -= static_cast<uint32_t>(copied);
      request.io_Actual = static_cast<uint32_t>(copied);
      return SerErr_LineErr;
    }
    break;  // less than counted (a tty's input flushed meanwhile)
  }
  request.counted -= static_cast<uint32_t>(copied);
  request.io_Actual = static_cast<uint32_t>(copied);
  return kSerialOk;
}

}  // namespace

bool SerialDevicePath(const char* device, int32_t unit, char* path,
                      size_t size) {
  const char* prefix = strchr(device, '/') == nullptr ? "/dev/" : "";
  const size_t length = strlen(device);
  const bool ends_in_digit =
      length > 0 && device[length - 1] >= '0' && device[length - 1] <= '9';
  auto fits = [&](int written) {
    return written >= 0 && static_cast<size_t>(written) < size;
  };
  if (unit == 0) {
    if (NameTaken(device)) return fits(snprintf(path, size, "%s", device));
    if (!fits(snprintf(path, size, "%s%s", prefix, device))) return false;
    if (NameTaken(path)) return true;
  }
  if (!fits(snprintf(path, size, "%s%s%d", prefix, device,
                     static_cast<int>(unit)))) {
    return false;
  }
  // Unit 0 of a missing name that already ends in its number
  // ("/dev/ttyACM0 0" with the receiver unplugged): report it as typed.
  if (unit == 0 && ends_in_digit && !Exists(path)) {
    return fits(snprintf(path, size, "%s%s", prefix, device));
  }
  return true;
}

int OpenDevice(const char* path, IOExtSer& request) {
  request.fd = -1;
  request.ended = false;
  request.ahead_start = request.ahead_end = 0;
  request.counted = 0;
  ScopedFd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return NegativeErrno();
  struct stat info;
  if (fstat(fd.get(), &info) != 0) return NegativeErrno();
  if (S_ISDIR(info.st_mode)) return -EISDIR;
  if (!S_ISCHR(info.st_mode) && !S_ISFIFO(info.st_mode) &&
      !S_ISREG(info.st_mode)) {
    return -ENODEV;
  }
  request.is_tty = tcgetattr(fd.get(), &request.saved_settings) == 0;
  request.fd = fd.release();
  return 0;
}

int8_t DoIO(IOExtSer& request) {
  if (request.fd < 0) {
    request.io_Error = SerErr_DevBusy;
    return request.io_Error;
  }
  switch (request.io_Command) {
    case SDCMD_SETPARAMS: request.io_Error = SetParams(request); break;
    case SDCMD_QUERY: request.io_Error = Query(request); break;
    case CMD_READ: request.io_Error = Read(request); break;
    default: request.io_Error = IOERR_NOCMD; break;
  }
  return request.io_Error;
}

void CloseDevice(IOExtSer* request) {
  if (request == nullptr || request->fd < 0) return;
  if (request->is_tty) tcsetattr(request->fd, TCSANOW, &request->saved_settings);
  close(request->fd);
  request->fd = -1;
  request->ahead_start = request->ahead_end = 0;
  request->counted = 0;
}
