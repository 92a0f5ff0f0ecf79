#include "app/position_run.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "gps/gpsd_client.h"
#include "gps/position.h"
#include "platform/console.h"
#include "platform/device_info.h"

namespace {

// The first supported receiver attached, or null; `error` keeps the errno
// of a search that failed.
const SupportedReceiver* FindSupportedReceiver(RunServices& services,
                                               int& error) {
  error = 0;
  for (const SupportedReceiver& receiver : kSupportedReceivers) {
    int search_error = 0;
    if (services.UsbDevicePresent(receiver.vendor, receiver.product,
                                  search_error)) {
      return &receiver;
    }
    if (search_error != 0) error = search_error;
  }
  return nullptr;
}

// The device could not be opened: say which file and why, and what to try.
void ExplainOpenFailure(const SnapshotReport& report,
                        const SupportedReceiver* receiver,
                        RunServices& services) {
  Warnf("cannot open %s: %s\n", report.path, strerror(report.error));
  FileOwner owner;
  if ((report.error == EACCES || report.error == EPERM) &&
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

// The text held no position: say the first reason that applies.
void ExplainNoPosition(const SnapshotReport& report, std::string_view text,
                       uint32_t baud) {
  if (report.problem[0] != '\0') {
    Warnf("%s\n", report.problem);
    return;
  }
  if (text.empty()) {
    if (report.end == WindowEnd::kInputEnded) {
      Warnf("nothing arrived from %s before its input ended\n", report.path);
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
  if (tally.sentences == 0 && tally.rmc_bad_checksum == 0) {
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
    Warnf("%zu RMC sentences failed their checksum: a noisy line or a wrong "
          "BAUDRATE\n",
          tally.rmc_bad_checksum);
  } else {
    Warnf("the RMC sentences held malformed or out-of-range coordinates\n");
  }
}

// The map application did not take the goto: say why.
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
  Warnf("cannot talk to the map application: %s\n", strerror(errno));
}

}  // namespace

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

ExitStatus RunPositionUpdate(const CommandArgs& args, RunServices& services) {
  const int32_t unit = AsciiToInt(args.unit);
  const uint32_t baud = static_cast<uint32_t>(AsciiToInt(args.baudrate));
  if (IsGpsdName(args.device)) {
    GpsdAddress gpsd;
    const char* wrong = unit != 0 ? nullptr : ParseGpsdName(args.device, gpsd);
    if (unit != 0 || wrong != nullptr) {
      if (!Print("Wrong argument(s)!\n")) return ExitStatus::kInterrupted;
      if (wrong != nullptr) {
        Warnf("%s: %s\n", args.device, wrong);
      } else {
        Warnf("UNIT must be 0 when DEVICE names gpsd\n");
      }
      return ExitStatus::kWrongArguments;
    }
  }
  // A recording or gpsd has no receiver on this bus to look for; a name
  // that does not exist may be a receiver's tty that is not there.
  const bool on_bus = services.ReceiverOnBus(args.device, unit);
  int search_error = 0;
  const SupportedReceiver* receiver =
      on_bus ? FindSupportedReceiver(services, search_error) : nullptr;
  if (receiver == nullptr && on_bus) {
    if (!Print("No supported gps hardware found!\n")) {
      return ExitStatus::kInterrupted;
    }
    if (search_error != 0) {
      Warnf("cannot search the USB bus: %s\n", strerror(search_error));
    }
    return ExitStatus::kNoReceiver;
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
  if (report.end == WindowEnd::kOpenFailed) {
    ExplainOpenFailure(report, receiver, services);
  }

  if (args.verbose &&
      !(PrintEscaped(buffer.text) && Print("\n"))) {
    return ExitStatus::kInterrupted;
  }
  const bool found =
      ParseRmcPosition(buffer.text, position.latitude, position.longitude);
  // Adding 0.0 turns -0 into 0.
  if (args.position &&
      !Print("latitude = %g, longitude = %g\n", position.latitude + 0.0,
             position.longitude + 0.0)) {
    return ExitStatus::kInterrupted;
  }
  if (!found) {
    if (!Print("GPS Reciver recive damaged data!\n")) {
      return ExitStatus::kInterrupted;
    }
    if (report.end != WindowEnd::kOpenFailed) {
      ExplainNoPosition(report, buffer.text, baud);
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
      return ExitStatus::kNoMapPort;
    case GotoOutcome::kInterrupted:
      return ExitStatus::kInterrupted;
    case GotoOutcome::kFailed:
      break;
  }
  ExplainFailedGoto(result.reply);
  return ExitStatus::kMapExchangeFailed;
}
