#include "app/position_run.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>

#include "app/exit_status.h"
#include "gps/position.h"
#include "platform/break.h"
#include "platform/console.h"

namespace {

const SupportedReceiver* FindSupportedReceiver(RunServices& services) {
  for (const SupportedReceiver& receiver : kSupportedReceivers) {
    if (services.UsbDevicePresent(receiver.vendor, receiver.product)) {
      return &receiver;
    }
  }
  return nullptr;
}

// The device could not be opened: say which file and why, on standard
// error, and what to try next. Standard output keeps its own message.
void ExplainOpenFailure(const SnapshotFailure& failure,
                        const SupportedReceiver& receiver,
                        RunServices& services) {
  Warnf("cannot open %s: %s\n", failure.path, strerror(failure.open_error));
  if (failure.open_error == EACCES) {
    struct stat info;
    const struct group* owner = nullptr;
    if (stat(failure.path, &info) == 0) owner = getgrgid(info.st_gid);
    Warnf("hint: serial devices belong to the group %s; join it with "
          "'sudo usermod -aG %s $USER' and log in again\n",
          owner ? owner->gr_name : "dialout",
          owner ? owner->gr_name : "dialout");
  }
  char tty[256];
  if (services.FindReceiverTty(receiver.vendor, receiver.product, tty,
                               sizeof tty)) {
    Warnf("the supported receiver is at %s\n", tty);
  }
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

int RunPositionUpdate(const CommandArgs& args, RunServices& services) {
  const SupportedReceiver* receiver = FindSupportedReceiver(services);
  if (receiver == nullptr) {
    Printf("No supported gps hardware found!\n");
    return kExitNoReceiver;
  }

  NmeaBuffer buffer = {};
  GeoPosition position;
  const int32_t unit = AsciiToInt(args.unit);
  const uint32_t baud = static_cast<uint32_t>(AsciiToInt(args.baudrate));
  SnapshotFailure failure;
  services.ReadSerialSnapshot(buffer, args.device, unit, baud, failure);
  if (BreakRequested()) {
    ReportBreak();
    return kExitBreak;
  }
  if (failure.open_error != 0) {
    ExplainOpenFailure(failure, *receiver, services);
  }

  if (args.verbose) Printf("%s\n", buffer.text);
  const bool found =
      ParseRmcPosition(buffer.text, position.latitude, position.longitude);
  if (args.position) {
    Printf("latitude = %g, longitude = %g\n", position.latitude,
           position.longitude);
  }
  if (!found) {
    Printf("GPS Reciver recive damaged data!\n");
    return kExitDamagedData;
  }

  const int32_t zoom = args.zoom != nullptr ? *args.zoom : kDefaultZoom;
  switch (services.SendGotoCommand(zoom, position.latitude,
                                   position.longitude)) {
    case GotoOutcome::kSent:
      return kExitMapCentred;
    case GotoOutcome::kNoPort:
      return kExitNoMapPort;
    case GotoOutcome::kFailed:
      break;
  }
  if (BreakRequested()) {
    ReportBreak();
    return kExitBreak;
  }
  return kExitMapExchangeFailed;
}
