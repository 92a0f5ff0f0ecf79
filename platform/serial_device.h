// The receiver's serial line: a Linux tty, FIFO or file, opened by name
// and unit, then driven with DoIO commands.
//
// The device holds no text of its own: SDCMD_QUERY says how many bytes the
// kernel has waiting (FIONREAD), and CMD_READ reads them straight into the
// caller's io_Data. Where the kernel cannot count them (a character device
// that is not a tty, a harness that fakes /dev) or says none are waiting
// while the file is readable, a read ahead of up to 64 bytes tells text
// from the end of input; what it got is handed out first.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>

#include "platform/cleanup.h"

enum SerialCommand : uint16_t {
  CMD_READ = 2,
  SDCMD_QUERY = 9,
  SDCMD_SETPARAMS = 11,
};

// io_Error values.
enum SerialError : int8_t {
  kSerialOk = 0,
  IOERR_NOCMD = -3,
  IOERR_BADLENGTH = -4,
  SerErr_DevBusy = 1,       // the device is not open
  SerErr_BaudMismatch = 2,  // the line cannot take that speed
  SerErr_LineErr = 5,       // reading failed
};

// io_Status bit set by SDCMD_QUERY once the input has ended (end of file,
// hang-up, receiver unplugged): nothing more will arrive. A FIFO whose
// writer has not come yet has not ended; one whose writer has come and gone
// has.
inline constexpr uint16_t kSerialInputEnded = 0x8000;

struct IOExtSer {
  uint16_t io_Command = 0;
  int8_t io_Error = 0;
  uint16_t io_Status = 0;
  uint32_t io_Actual = 0;
  uint32_t io_Length = 0;
  void* io_Data = nullptr;
  uint32_t io_Baud = 0;

  // The device's side, set by OpenDevice.
  int fd = -1;
  bool is_tty = false;
  struct termios saved_settings = {};  // a tty's settings, put back at close
  bool ended = false;
  char ahead[64] = {};     // read ahead, not yet handed out: from
  uint8_t ahead_start = 0;  // ahead_start up to ahead_end
  uint8_t ahead_end = 0;
  uint32_t counted = 0;  // what the last SDCMD_QUERY said was waiting
};

// Which file DEVICE and UNIT name. With UNIT 0, DEVICE itself whenever
// something is there under that name (a directory, or a dangling link, is
// then reported as what it is), unless it ends in "/" ("/dev/pts/" 0 is
// /dev/pts/0); else a name without a slash is looked for in /dev. Otherwise
// DEVICE followed by the decimal UNIT ("ttyUSB", 1 is /dev/ttyUSB1); a
// missing "/dev/ttyACM0" with UNIT 0 stays as typed, for the error message.
// False when the path does not fit.
bool SerialDevicePath(const char* device, int32_t unit, char* path,
                      size_t size);

// Opens the file read-only and non-blocking. Returns 0 or a negative errno.
// Ttys, FIFOs and regular files are accepted; anything else fails (-EISDIR,
// -ENODEV). A tty's settings are saved, to be put back by CloseDevice.
int OpenDevice(const char* path, IOExtSer& request);

// Performs request.io_Command and returns io_Error.
//  SDCMD_SETPARAMS  a tty goes raw (8N1, receiver on, modem lines and flow
//                   control off, no echo, no translation) and takes io_Baud;
//                   a speed the tty cannot take (0 among them) leaves the
//                   speed as it was and fails. Input queued before is
//                   discarded. Other files have no line settings, and
//                   keep all they hold.
//  SDCMD_QUERY      io_Actual = bytes waiting; io_Status gets
//                   kSerialInputEnded once the input has ended.
//  CMD_READ         copies io_Length waiting bytes (no more than the last
//                   SDCMD_QUERY counted) to io_Data; io_Actual = the
//                   number copied.
int8_t DoIO(IOExtSer& request);

// Puts a tty's settings back as they were at open and closes the device;
// nothing for one that is not open.
void CloseDevice(IOExtSer* request);

// Keeps a device open for one scope:
//   const OpenSerialDevice open_device(&request);
using OpenSerialDevice = Owned<IOExtSer, CloseDevice>;
