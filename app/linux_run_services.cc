#include "app/position_run.h"

#include <sys/stat.h>

#include "gps/gpsd_client.h"
#include "gps/receiver_source.h"
#include "gps/usb_receiver.h"

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
