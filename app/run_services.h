// What a run asks of the world outside the program: the USB bus, the
// receiver, the map application, and the facts its explanations give.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "gps/serial_snapshot.h"
#include "rexx/goto_command.h"

// The program uses LinuxRunServices; tests put their own in its place.
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

  // Facts for the checks and the explanations.
  // stat(2) of `path`, or lstat(2) with `link`: 0, or the negative errno.
  virtual int StatPath(const char* path, bool link, struct stat& info) = 0;
  // The name of a user or a group, or its number when it has none.
  virtual std::string UserName(uid_t uid) = 0;
  virtual std::string GroupName(gid_t gid) = 0;
  // Another process that has `path` open, as /proc shows it to this user:
  // its pid, with its command name in `name`; 0 when none is seen.
  virtual pid_t DeviceHolder(const char* path, char* name, size_t size) = 0;
  // Whether the udev rule that gives the logged-in user the supported
  // receivers is where udev reads rules.
  virtual bool UdevRuleInstalled() = 0;
  // Why the port directory is not trusted and what to do, as a line
  // without its newline; empty when it is the user's own and private.
  virtual std::string UnsafePortDirectoryWhy(const char* directory) = 0;
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
  int StatPath(const char* path, bool link, struct stat& info) override;
  std::string UserName(uid_t uid) override;
  std::string GroupName(gid_t gid) override;
  pid_t DeviceHolder(const char* path, char* name, size_t size) override;
  bool UdevRuleInstalled() override;
  std::string UnsafePortDirectoryWhy(const char* directory) override;

 private:
  int goto_bound_ms_;
};
