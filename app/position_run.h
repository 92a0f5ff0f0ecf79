// One position update: receiver check, snapshot, position, goto.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/command_args.h"
#include "app/exit_status.h"
#include "gps/receivers.h"
#include "gps/serial_snapshot.h"
#include "rexx/goto_command.h"

// What the run asks of the world outside the program. The program uses
// LinuxRunServices; tests put their own in its place.
class RunServices {
 public:
  virtual ~RunServices() = default;
  // 1 when such a device is attached, 0 when none is, or the negative
  // errno of a search that failed.
  virtual int UsbDevicePresent(uint32_t vendor, uint32_t product) = 0;
  // Whether DEVICE is, or may be, a receiver's tty on this machine's USB
  // bus; false for a recording, a pipe or gpsd, and for a tty that is not
  // on the USB bus, whose kind ("a serial port of the board") then goes
  // to `off_bus`.
  virtual bool ReceiverOnBus(const char* device, int32_t unit,
                             const char** off_bus = nullptr) = 0;
  virtual uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* device,
                                      int32_t unit, uint32_t baud,
                                      SnapshotReport& report) = 0;
  virtual GotoResult SendGotoCommand(int32_t zoom, double latitude,
                                     double longitude) = 0;
  // The tty of an attached USB device with these ids, for the hint given
  // when the named device cannot be opened; false when none is known.
  virtual bool FindReceiverTty(uint32_t vendor, uint32_t product, char* path,
                               size_t size) = 0;
};

class LinuxRunServices : public RunServices {
 public:
  // `goto_bound_ms` bounds the whole exchange with the map application.
  explicit LinuxRunServices(int goto_bound_ms = kMapReplyTimeoutMs)
      : goto_bound_ms_(goto_bound_ms) {}
  int UsbDevicePresent(uint32_t vendor, uint32_t product) override;
  bool ReceiverOnBus(const char* device, int32_t unit,
                     const char** off_bus = nullptr) override;
  uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* device,
                              int32_t unit, uint32_t baud,
                              SnapshotReport& report) override;
  GotoResult SendGotoCommand(int32_t zoom, double latitude,
                             double longitude) override;
  bool FindReceiverTty(uint32_t vendor, uint32_t product, char* path,
                       size_t size) override;

 private:
  int goto_bound_ms_;
};

// Runs the update and returns the exit status. Every outcome other than
// success is explained on standard error; an interrupt is returned, not
// reported. Allocates nothing on the heap on its way to the goto.
ExitStatus RunPositionUpdate(const CommandArgs& args, RunServices& services);

// The checks made before the receiver is read: a gpsd name that parses,
// with UNIT 0, and a supported receiver on the bus when DEVICE may be a
// receiver's tty (`on_bus`; `receiver` is the one found). kSuccess when the
// run may go on; otherwise the status, its message printed and explained.
// A tty that is not on the USB bus is said once, and its kind is left in
// `off_bus` when asked for. With `absent_ok`, no supported receiver on the
// bus is kSuccess (with no `receiver`) when DEVICE is not there either:
// the caller waits for it.
ExitStatus CheckBeforeReading(const CommandArgs& args, RunServices& services,
                              const SupportedReceiver*& receiver,
                              bool& on_bus, const char** off_bus = nullptr,
                              bool absent_ok = false);

// The explanations on standard error: the device at report.path could not
// be opened; the map application's port is missing (or not trusted); the
// map application did not take the goto.
void ExplainOpenFailure(const SnapshotReport& report,
                        const SupportedReceiver* receiver,
                        RunServices& services);
void ExplainMissingPort(PortAbsence absence);
void ExplainFailedGoto(const RexxCommandResult& reply);

// POSITION's line; false when a break is pending.
bool PrintPosition(double latitude, double longitude);

// The C library's atoi, but saturating instead of overflowing: leading
// blanks and a sign are accepted, conversion stops at the first non-digit,
// and text without digits gives 0.
int32_t AsciiToInt(const char* text);
