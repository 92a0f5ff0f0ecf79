#include "app/explanations.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gps/gpsd_client.h"
#include "gps/position.h"
#include "platform/console.h"
#include "platform/device_info.h"
#include "platform/errors.h"
#include "rexx/public_port.h"
#include "platform/serial_device.h"

void ExplainOpenFailure(const SnapshotReport& report,
                        const SupportedReceiver* receiver,
                        RunServices& services) {
  Warnf("cannot open %s: %s\n", report.path, FailureText(report.error));
  GpsdAddress gpsd;
  std::string why;
  if (report.error == -ECONNREFUSED && IsGpsdName(report.path) &&
      ParseGpsdName(report.path, gpsd, why) == 0) {
    Warnf("hint: nothing listens on port %s of %s; is gpsd running, and on "
          "that port? 'systemctl status gpsd.socket' shows where it listens\n",
          gpsd.port, gpsd.host);
  }
  struct stat info;
  if ((report.error == -EACCES || report.error == -EPERM) &&
      services.StatPath(report.path, false, info) == 0) {
    const std::string user = services.UserName(info.st_uid);
    const std::string group = services.GroupName(info.st_gid);
    // The group is named only when it may read and write the device.
    if ((info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
      Warnf("hint: %s belongs to the group %s; join it with "
            "'sudo usermod -aG %s $USER' and log in again\n",
            report.path, group.c_str(), group.c_str());
    } else {
      Warnf("hint: %s belongs to %s:%s with mode %04o; ask its owner for "
            "access\n",
            report.path, user.c_str(), group.c_str(),
            static_cast<unsigned>(info.st_mode & 07777));
    }
    if (!services.UdevRuleInstalled()) {
      Warnf("hint: with the udev rule %s installed (see the README), the "
            "logged-in user may open supported receivers\n",
            kUdevRuleName);
    }
  }
  char tty[256];
  if (receiver != nullptr &&
      services.FindReceiverTty(receiver->vendor, receiver->product, tty,
                               sizeof tty)) {
    Warnf("the supported receiver is at %s\n", tty);
  }
}

namespace {

// Nothing at all arrived within the window.
void ExplainNothingArrived(const SnapshotReport& report, bool recording,
                           bool through_gpsd, RunServices& services) {
  if (report.end == WindowEnd::kInputEnded) {
    Warnf("nothing arrived from %s before its input ended\n", report.path);
    return;
  }
  const int window_s = kSnapshotWindowMs / 1000;
  if (recording) {
    struct stat info;
    Warnf("nothing arrived from %s in %d s; %s\n", report.path, window_s,
          services.StatPath(report.path, false, info) == 0 &&
                  S_ISCHR(info.st_mode)
              ? "it is not a receiver's tty"
              : "no program wrote to it");
    return;
  }
  if (through_gpsd) {
    Warnf("gpsd relayed no sentence from %s in %d s; check that the "
          "receiver is plugged in and sending (gpspipe -r shows what gpsd "
          "hears)\n",
          report.path, window_s);
    return;
  }
  char holder[64];
  if (const pid_t pid = services.DeviceHolder(report.path, holder,
                                              sizeof holder);
      pid > 0) {
    Warnf("nothing arrived from %s in %d s; %s (pid %d) has it open and "
          "may be taking the text\n",
          report.path, window_s, holder, static_cast<int>(pid));
  } else {
    Warnf("nothing arrived from %s in %d s; another program may be "
          "reading it, or it is not the receiver's tty\n",
          report.path, window_s);
  }
}

}  // namespace

void ExplainNoPosition(const SnapshotReport& report, std::string_view text,
                       uint32_t baud, bool recording, bool through_gpsd,
                       RunServices& services) {
  const bool line = !recording && !through_gpsd;
  if (report.problem[0] != '\0') {
    Warnf("%s\n", report.problem);
    return;
  }
  if (text.empty()) {
    ExplainNothingArrived(report, recording, through_gpsd, services);
    return;
  }
  NmeaTally tally;
  double latitude, longitude;
  ParseRmcPosition(text, latitude, longitude, &tally);
  if (tally.sentences == 0 && tally.rmc_bad_checksum == 0 && !line) {
    Warnf("no NMEA sentence was found in the %zu bytes read from %s\n",
          text.size(), report.path);
  } else if (tally.sentences == 0 && tally.rmc_bad_checksum == 0) {
    Warnf("%zu bytes arrived from %s but no NMEA sentence; is the speed "
          "right? BAUDRATE was %u; receivers commonly use 4800, 9600 or "
          "38400\n",
          text.size(), report.path, baud);
  } else if (tally.rmc == 0 && tally.rmc_bad_checksum == 0) {
    char types[NmeaTally::kMaxTypes * 8] = "";
    for (size_t i = 0; i < tally.type_count; ++i) {
      if (i > 0) strcat(types, " ");
      strcat(types, tally.types[i]);
    }
    Warnf("NMEA arrived but no RMC sentence (only %s); the receiver may "
          "need RMC output switched on\n",
          types);
  } else if (tally.rmc > 0 && tally.rmc_no_fix == tally.rmc) {
    Warnf("the receiver has no fix yet (its RMC sentences say status V); "
          "give it a clear view of the sky and try again\n");
  } else if (tally.rmc_bad_checksum > 0) {
    Warnf("%zu RMC sentence%s failed %s checksum: %s\n", tally.rmc_bad_checksum,
          tally.rmc_bad_checksum == 1 ? "" : "s",
          tally.rmc_bad_checksum == 1 ? "its" : "their",
          line ? "a noisy line or a wrong BAUDRATE" : "the text is damaged");
  } else {
    Warnf("the RMC sentences held malformed or out-of-range coordinates\n");
  }
}

void ExplainNoReceiver(const char* device, int32_t unit, int search_error,
                       RunServices& services) {
  if (search_error != 0) {
    Warnf("cannot search the USB bus: %s\n", FailureText(search_error));
  } else {
    // Models of one name are listed once, with each of their ids.
    char names[1024] = "";
    const SupportedReceiver* previous = nullptr;
    for (const SupportedReceiver& receiver : kSupportedReceivers) {
      const size_t used = strlen(names);
      if (previous != nullptr && previous->vendor == receiver.vendor &&
          strcmp(previous->name, receiver.name) == 0) {
        snprintf(names + used - 1, sizeof names - used + 1, ", %04x)",
                 receiver.product);
      } else {
        snprintf(names + used, sizeof names - used, "%s%s (%04x:%04x)",
                 used > 0 ? ", " : "", receiver.name, receiver.vendor,
                 receiver.product);
      }
      previous = &receiver;
    }
    Warnf("none of the supported receivers is on the USB bus (lsusb lists "
          "what is): %s\n",
          names);
  }
  char path[256];
  struct stat info;
  if (device == nullptr ||
      !SerialDevicePath(device, unit, path, sizeof path)) {
    return;
  }
  if (services.StatPath(path, true, info) == -ENOENT) {
    if (strcmp(path, device) == 0) {
      Warnf("%s does not exist\n", path);
    } else {
      Warnf("DEVICE %s with UNIT %d names %s, which does not exist\n",
            device, static_cast<int>(unit), path);
    }
  } else if (services.StatPath(path, false, info) == 0 &&
             S_ISDIR(info.st_mode)) {
    Warnf("%s is a directory, not a receiver's tty\n", path);
  }
}

void ExplainMissingPort(PortAbsence absence, RunServices& services) {
  char directory[108] = "";
  PortDirectory(directory, sizeof directory);
  const std::string unsafe = absence == PortAbsence::kUnsafeDirectory
                                 ? services.UnsafePortDirectoryWhy(directory)
                                 : "";
  if (!unsafe.empty()) {
    Warnf("%s\n", unsafe.c_str());
  } else if (absence == PortAbsence::kPathTooLong) {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    Warnf("the path of %s in the port directory would be %zu bytes, over the "
          "%zu a socket's path may have; set XDG_RUNTIME_DIR to a shorter "
          "directory (it is %s)\n",
          kMapPortName, PortPathLength(kMapPortName), kMaxPortPath,
          runtime != nullptr ? runtime : "not set");
  } else if (absence == PortAbsence::kOtherUser) {
    Warnf("%s in %s is hosted by another user, and only your own map "
          "application is trusted; start it as yourself\n",
          kMapPortName, directory);
  } else {
    Warnf("no map application hosts %s in %s%s; start it, or "
          "navbeacon-maphost to stand in for it\n",
          kMapPortName, directory,
          absence == PortAbsence::kStale
              ? " (the socket there was left by one that has ended)"
              : "");
  }
}

void ExplainFailedGoto(const RexxCommandResult& reply) {
  switch (reply.exchange) {
    case Exchange::kOk:
      if (reply.error_text) {
        Warnf("the map application replied with error %d: %s\n",
              static_cast<int>(reply.result1), reply.error_text.get());
      } else {
        Warnf("the map application replied with error %d\n",
              static_cast<int>(reply.result1));
      }
      return;
    case Exchange::kTimedOut:
      Warnf("the map application did not reply within %d s\n",
            kMapReplyTimeoutMs / 1000);
      return;
    case Exchange::kClosed:
      Warnf("the map application closed the connection without replying\n");
      return;
    case Exchange::kMalformed:
      Warnf("the map application sent a malformed reply\n");
      return;
    case Exchange::kNoPort:
      Warnf("the map application's port %s went away\n", kMapPortName);
      return;
    case Exchange::kInterrupted:
    case Exchange::kSystemError:
      break;
  }
  // A failure that carried no errno is not reported as "Success".
  Warnf("cannot talk to the map application: %s\n",
        FailureText(reply.error < 0 ? reply.error : -EIO));
}
