#include "app/position_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "gps/gpsd_client.h"
#include "gps/position.h"
#include "platform/console.h"
#include "platform/device_info.h"
#include "platform/errors.h"
#include "platform/public_port.h"
#include "platform/serial_device.h"

namespace {

// The first supported receiver attached, or null; `error` keeps the
// negative errno of a search that failed.
const SupportedReceiver* FindSupportedReceiver(RunServices& services,
                                               int& error) {
  error = 0;
  for (const SupportedReceiver& receiver : kSupportedReceivers) {
    const int present =
        services.UsbDevicePresent(receiver.vendor, receiver.product);
    if (present == 1) return &receiver;
    if (present < 0) error = present;
  }
  return nullptr;
}

}  // namespace

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
  FileOwner owner;
  if ((report.error == -EACCES || report.error == -EPERM) &&
      DescribeOwner(report.path, owner)) {
    if (owner.group_rw) {
      Warnf("hint: %s belongs to the group %s; join it with "
            "'sudo usermod -aG %s $USER' and log in again\n",
            report.path, owner.group, owner.group);
    } else {
      Warnf("hint: %s belongs to %s:%s with mode %04o; ask its owner for "
            "access\n",
            report.path, owner.user, owner.group, owner.mode);
    }
    if (!UdevRuleInstalled()) {
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

// The text held no position: say the first reason that applies. A
// `recording` (a regular file or a FIFO) and text relayed `through_gpsd`
// have no line speed of ours to blame.
void ExplainNoPosition(const SnapshotReport& report, std::string_view text,
                       uint32_t baud, bool recording, bool through_gpsd) {
  const bool line = !recording && !through_gpsd;
  if (report.problem[0] != '\0') {
    Warnf("%s\n", report.problem);
    return;
  }
  if (text.empty()) {
    if (report.end == WindowEnd::kInputEnded) {
      Warnf("nothing arrived from %s before its input ended\n", report.path);
      return;
    }
    struct stat info;
    if (recording) {
      Warnf("nothing arrived from %s in %d s; %s\n", report.path,
            kSnapshotWindowMs / 1000,
            stat(report.path, &info) == 0 && S_ISCHR(info.st_mode)
                ? "it is not a receiver's tty"
                : "no program wrote to it");
      return;
    }
    if (through_gpsd) {
      Warnf("gpsd relayed no sentence from %s in %d s; check that the "
            "receiver is plugged in and sending (gpspipe -r shows what gpsd "
            "hears)\n",
            report.path, kSnapshotWindowMs / 1000);
      return;
    }
    char holder[64];
    pid_t pid;
    if (FindDeviceHolder(report.path, holder, sizeof holder, pid)) {
      Warnf("nothing arrived from %s in %d s; %s (pid %d) has it open and "
            "may be taking the text\n",
            report.path, kSnapshotWindowMs / 1000, holder,
            static_cast<int>(pid));
    } else {
      Warnf("nothing arrived from %s in %d s; another program may be "
            "reading it, or it is not the receiver's tty\n",
            report.path, kSnapshotWindowMs / 1000);
    }
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

}  // namespace

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
  Warnf("cannot talk to the map application: %s\n", FailureText(reply.error));
}

namespace {

// No supported receiver is on the bus: say which were looked for, and
// whether DEVICE names anything at all (a mistyped recording reaches here).
void ExplainNoReceiver(const CommandArgs& args, int32_t unit,
                       int search_error) {
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
  if (args.device == nullptr ||
      !SerialDevicePath(args.device, unit, path, sizeof path)) {
    return;
  }
  if (lstat(path, &info) != 0 && errno == ENOENT) {
    if (strcmp(path, args.device) == 0) {
      Warnf("%s does not exist\n", path);
    } else {
      Warnf("DEVICE %s with UNIT %d names %s, which does not exist\n",
            args.device, static_cast<int>(unit), path);
    }
  } else if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
    Warnf("%s is a directory, not a receiver's tty\n", path);
  }
}

}  // namespace

void ExplainMissingPort(PortAbsence absence) {
  char directory[108] = "";
  PortDirectory(directory, sizeof directory);
  const std::string unsafe = absence == PortAbsence::kUnsafeDirectory
                                 ? UnsafePortDirectoryWhy(directory)
                                 : "";
  if (!unsafe.empty()) {
    Warnf("%s\n", unsafe.c_str());
  } else if (absence == PortAbsence::kPathTooLong) {
    Warnf("the path of %s in the port directory would be %zu bytes, over the "
          "%zu a socket's path may have; set XDG_RUNTIME_DIR to a shorter "
          "directory (it is %s)\n",
          kMapPortName, PortPathLength(kMapPortName), kMaxPortPath,
          getenv("XDG_RUNTIME_DIR") != nullptr ? getenv("XDG_RUNTIME_DIR")
                                               : "not set");
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

bool PrintPosition(double latitude, double longitude) {
  // Adding 0.0 turns -0 into 0.
  return Print("latitude = %g, longitude = %g\n", latitude + 0.0,
               longitude + 0.0);
}

int32_t AsciiToInt(const char* text) {
  if (text == nullptr) return 0;
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

ExitStatus CheckBeforeReading(const CommandArgs& args, RunServices& services,
                              const SupportedReceiver*& receiver,
                              bool& on_bus, const char** off_bus,
                              bool absent_ok) {
  const int32_t unit = AsciiToInt(args.unit);
  if (IsGpsdName(args.device)) {
    GpsdAddress gpsd;
    std::string wrong;
    if (unit != 0 || ParseGpsdName(args.device, gpsd, wrong) < 0) {
      if (!Print("Wrong argument(s)!\n")) return ExitStatus::kInterrupted;
      if (!wrong.empty()) {
        Warnf("%s: %s\n", args.device, wrong.c_str());
      } else {
        Warnf("UNIT must be 0 when DEVICE names gpsd\n");
      }
      return ExitStatus::kWrongArguments;
    }
  }
  // Only files, FIFOs and character devices can be read.
  char named[256];
  struct stat info;
  if (args.device != nullptr && !IsGpsdName(args.device) &&
      SerialDevicePath(args.device, unit, named, sizeof named) &&
      stat(named, &info) == 0 && (S_ISSOCK(info.st_mode) || S_ISBLK(info.st_mode))) {
    if (!Print("Wrong argument(s)!\n")) return ExitStatus::kInterrupted;
    Warnf("%s is a %s, not a receiver's tty, a recording or a FIFO; pipe its "
          "text in instead (some-program | navbeacon /dev/stdin 0 0)\n",
          named, S_ISSOCK(info.st_mode) ? "socket" : "block device");
    return ExitStatus::kWrongArguments;
  }
  // A recording or gpsd has no receiver on this bus to look for; a name
  // that does not exist may be a receiver's tty that is not there.
  const char* kind = nullptr;
  on_bus = services.ReceiverOnBus(args.device, unit, &kind);
  if (kind != nullptr &&
      SerialDevicePath(args.device, unit, named, sizeof named)) {
    Warnf("%s is not on the USB bus (%s): no receiver check\n", named, kind);
  }
  if (off_bus != nullptr) *off_bus = kind;
  int search_error = 0;
  receiver = on_bus ? FindSupportedReceiver(services, search_error) : nullptr;
  if (receiver == nullptr && on_bus) {
    if (absent_ok && SerialDevicePath(args.device, unit, named, sizeof named) &&
        stat(named, &info) != 0 && errno == ENOENT) {
      return ExitStatus::kSuccess;
    }
    if (!Print("No supported gps hardware found!\n")) {
      return ExitStatus::kInterrupted;
    }
    ExplainNoReceiver(args, unit, search_error);
    return ExitStatus::kNoReceiver;
  }
  return ExitStatus::kSuccess;
}

ExitStatus RunPositionUpdate(const CommandArgs& args, RunServices& services) {
  const int32_t unit = AsciiToInt(args.unit);
  const uint32_t baud = static_cast<uint32_t>(AsciiToInt(args.baudrate));
  const SupportedReceiver* receiver = nullptr;
  bool on_bus = false;
  const char* off_bus = nullptr;
  if (const ExitStatus checked =
          CheckBeforeReading(args, services, receiver, on_bus, &off_bus);
      checked != ExitStatus::kSuccess) {
    return checked;
  }

  NmeaBuffer buffer = {};
  GeoPosition position;
  SnapshotReport report;
  services.ReadSerialSnapshot(buffer, args.device, unit, baud, report);
  if (report.end == WindowEnd::kInterrupted) return ExitStatus::kInterrupted;
  if (report.via_gpsd) {
    Warnf("gpsd holds %s; the receiver's text came through gpsd\n",
          report.path);
  }
  if (report.current_fix) {
    Warnf("the position is gpsd's current fix of %s, %.1f s old\n",
          report.fix_device, report.fix_age_s);
  }
  if (report.end == WindowEnd::kOpenFailed) {
    ExplainOpenFailure(report, receiver, services);
  }

  if (args.verbose &&
      !(PrintEscaped(buffer.text) && Print("\n"))) {
    return ExitStatus::kInterrupted;
  }
  // gpsd's current fix, when it served, is the position; its answer in the
  // text is for VERBOSE only.
  const bool found =
      report.current_fix ||
      ParseRmcPosition(buffer.text, position.latitude, position.longitude);
  if (report.current_fix) {
    position.latitude = report.latitude;
    position.longitude = report.longitude;
  }
  if (args.position &&
      !PrintPosition(position.latitude, position.longitude)) {
    return ExitStatus::kInterrupted;
  }
  if (!found) {
    if (!Print("GPS Reciver recive damaged data!\n")) {
      return ExitStatus::kInterrupted;
    }
    if (report.end != WindowEnd::kOpenFailed) {
      const bool gpsd = IsGpsdName(args.device) || report.via_gpsd;
      // A device that is not a tty has no line speed to blame.
      const bool not_tty =
          off_bus != nullptr && std::string_view(off_bus).ends_with("not a tty");
      ExplainNoPosition(report, buffer.text, baud,
                        !on_bus && !gpsd && (off_bus == nullptr || not_tty),
                        gpsd);
    }
    return ExitStatus::kDamagedData;
  }

  const int32_t zoom = args.zoom != nullptr ? *args.zoom : kDefaultZoom;
  const GotoResult result =
      services.SendGotoCommand(zoom, position.latitude, position.longitude);
  switch (result.outcome) {
    case GotoOutcome::kSent:
      return ExitStatus::kMapCentred;
    case GotoOutcome::kNoPort:
      ExplainMissingPort(result.absence);
      return ExitStatus::kNoMapPort;
    case GotoOutcome::kInterrupted:
      return ExitStatus::kInterrupted;
    case GotoOutcome::kFailed:
      break;
  }
  ExplainFailedGoto(result.reply);
  return ExitStatus::kMapExchangeFailed;
}
