#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>

#include "app/run_services.h"
#include "gps/gpsd_client.h"
#include "gps/receiver_source.h"
#include "gps/usb_receiver.h"
#include "platform/device_info.h"
#include "platform/errors.h"
#include "rexx/public_port.h"

int LinuxRunServices::UsbDevicePresent(uint32_t vendor, uint32_t product) {
  return ::UsbDevicePresent(vendor, product);
}

bool LinuxRunServices::ReceiverOnBus(const char* device, int32_t unit,
                                     const char** off_bus) {
  if (IsRecording(device, unit) || IsGpsdName(device)) return false;
  // A tty that is not on the USB bus has no receiver there to look for.
  SnapshotReport named;
  struct stat info;
  if (NameSerialDevice(device, unit, named) && stat(named.path, &info) == 0 &&
      S_ISCHR(info.st_mode)) {
    if (const char* kind = OffUsbKind(named.path)) {
      if (off_bus != nullptr) *off_bus = kind;
      return false;
    }
  }
  return true;
}

uint32_t LinuxRunServices::ReadSerialSnapshot(NmeaBuffer& buffer,
                                              const char* device,
                                              int32_t unit, uint32_t baud,
                                              SnapshotReport& report) {
  return ReadReceiverText(buffer, device, unit, baud, report);
}

GotoResult LinuxRunServices::SendGotoCommand(int32_t zoom, double latitude,
                                             double longitude) {
  return ::SendGotoCommand(zoom, latitude, longitude, goto_bound_ms_);
}

bool LinuxRunServices::FindReceiverTty(uint32_t vendor, uint32_t product,
                                       char* path, size_t size) {
  return FindUsbTty(vendor, product, path, size);
}

int LinuxRunServices::StatPath(const char* path, bool link,
                               struct stat& info) {
  if ((link ? lstat(path, &info) : stat(path, &info)) != 0) {
    return NegativeErrno();
  }
  return 0;
}

namespace {

// The name in the user or group database (getpwuid_r, getgrgid_r), or the
// number when it has none.
template <class Entry, class Id>
std::string NameOf(Id id, int (*look_up)(Id, Entry*, char*, size_t, Entry**),
                   char* Entry::*name) {
  Entry entry;
  Entry* found = nullptr;
  char strings[4096];
  if (look_up(id, &entry, strings, sizeof strings, &found) == 0 && found != nullptr) {
    return found->*name;
  }
  return std::to_string(id);
}

}  // namespace

std::string LinuxRunServices::UserName(uid_t uid) {
  return NameOf<passwd>(uid, getpwuid_r, &passwd::pw_name);
}

std::string LinuxRunServices::GroupName(gid_t gid) {
  return NameOf<group>(gid, getgrgid_r, &group::gr_name);
}

pid_t LinuxRunServices::DeviceHolder(const char* path, char* name,
                                     size_t size) {
  pid_t pid = 0;
  return FindDeviceHolder(path, name, size, pid) ? pid : 0;
}

bool LinuxRunServices::UdevRuleInstalled() { return ::UdevRuleInstalled(); }

std::string LinuxRunServices::UnsafePortDirectoryWhy(const char* directory) {
  return ::UnsafePortDirectoryWhy(directory);
}
