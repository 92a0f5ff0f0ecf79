#include "app/position_run.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "app/explanations.h"
#include "gps/gpsd_client.h"
#include "gps/position.h"
#include "platform/console.h"
#include "platform/serial_device.h"

namespace {

// The first supported receiver attached, in `receiver` (null when none
// is): 0, or the negative errno of a search that failed.
int FindSupportedReceiver(RunServices& services,
                          const SupportedReceiver*& receiver) {
  receiver = nullptr;
  int error = 0;
  for (const SupportedReceiver& candidate : kSupportedReceivers) {
    const int present =
        services.UsbDevicePresent(candidate.vendor, candidate.product);
    if (present == 1) {
      receiver = &candidate;
      return 0;
    }
    if (present < 0) error = present;
  }
  return error;
}

}  // namespace

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
  // The file DEVICE and UNIT name, looked at once for the checks below.
  char named[256];
  const bool has_path = args.device != nullptr && !IsGpsdName(args.device) &&
                        SerialDevicePath(args.device, unit, named, sizeof named);
  struct stat info;
  const int stated = has_path ? services.StatPath(named, false, info) : -ENOENT;
  // Only files, FIFOs and character devices can be read.
  if (stated == 0 && (S_ISSOCK(info.st_mode) || S_ISBLK(info.st_mode))) {
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
  if (kind != nullptr && has_path) {
    Warnf("%s is not on the USB bus (%s): no receiver check\n", named, kind);
  }
  if (off_bus != nullptr) *off_bus = kind;
  receiver = nullptr;
  const int search_error =
      on_bus ? FindSupportedReceiver(services, receiver) : 0;
  if (receiver == nullptr && on_bus) {
    if (absent_ok && has_path && stated == -ENOENT) {
      return ExitStatus::kSuccess;
    }
    if (!Print("No supported gps hardware found!\n")) {
      return ExitStatus::kInterrupted;
    }
    ExplainNoReceiver(args.device, unit, search_error, services);
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
                        gpsd, services);
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
      ExplainMissingPort(result.absence, services);
      return ExitStatus::kNoMapPort;
    case GotoOutcome::kInterrupted:
      return ExitStatus::kInterrupted;
    case GotoOutcome::kFailed:
      break;
  }
  ExplainFailedGoto(result.reply);
  return ExitStatus::kMapExchangeFailed;
}
