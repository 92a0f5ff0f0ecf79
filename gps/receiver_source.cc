#include "gps/receiver_source.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include <string>

#include "gps/gpsd_client.h"

bool IsRecording(const char* device, int32_t unit) {
  SnapshotReport named;
  struct stat info;
  return device != nullptr && !IsGpsdName(device) &&
         NameSerialDevice(device, unit, named) && stat(named.path, &info) == 0 &&
         (S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode));
}

uint32_t ReadReceiverText(NmeaBuffer& buffer, const char* device, int32_t unit,
                          uint32_t baud, SnapshotReport& report) {
  uint32_t bytes = 0;
  GpsdAddress address;
  if (IsGpsdName(device)) {
    snprintf(report.path, sizeof report.path, "%s", device);
    std::string why;
    if (ParseGpsdName(device, address, why) < 0) {  // refused beforehand
      report.end = WindowEnd::kOpenFailed;
      report.error = -EINVAL;
      return 0;
    }
    ReadGpsdSnapshot(buffer, address, false, report, bytes);
    report.via_gpsd = false;  // as asked: nothing to point out
    return bytes;
  }
  if (!NameSerialDevice(device, unit, report)) return 0;
  // gpsd holds the ttys of the receivers it serves; their text is to be
  // had only through it.
  struct stat info;
  if (stat(report.path, &info) == 0 && S_ISCHR(info.st_mode)) {
    snprintf(address.host, sizeof address.host, "%s", kGpsdDefaultHost);
    snprintf(address.port, sizeof address.port, "%s", kGpsdDefaultPort);
    snprintf(address.device, sizeof address.device, "%s", report.path);
    SnapshotReport through_gpsd;
    snprintf(through_gpsd.path, sizeof through_gpsd.path, "%s", report.path);
    if (ReadGpsdSnapshot(buffer, address, true, through_gpsd, bytes) ==
        GpsdAnswer::kServed) {
      report = through_gpsd;
      return bytes;
    }
  }
  return ReadSerialDevice(buffer, baud, report);
}
