#include "app/entry.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "app/follow_option.h"
#include "app/follow_run.h"
#include "app/position_run.h"
#include "platform/console.h"
#include "platform/read_args.h"

namespace {

bool IsWord(const char* word, const char* a, const char* b) {
  return strcmp(word, a) == 0 || strcmp(word, b) == 0;
}

// The text of --help.
bool PrintUsage() {
  if (!Print("Usage: %s\n"
             "\n"
             "Centres the running map application on the position of a GPS\n"
             "receiver: sends \"goto LAT LON ZOOM\" to its public port %s\n"
             "and waits for the reply.\n"
             "\n"
             "  DEVICE    the receiver's tty (/dev/ttyACM0 with UNIT 0), or a\n"
             "            name the unit is appended to (ttyACM 0); a recorded\n"
             "            NMEA file or a FIFO works too, and so does gpsd:\n"
             "            gpsd://[HOST][:PORT][/DEVICE] with UNIT 0\n"
             "  UNIT      the unit number\n"
             "  BAUDRATE  the line speed, e.g. 4800 or 9600\n"
             "  ZOOM n    the zoom level for the map (default %d)\n"
             "  VERBOSE   print the text received from the receiver\n"
             "  POSITION  print the position found (0,0 when none was: the\n"
             "            exit status tells)\n"
             "Keywords in any case, as KEYWORD value or KEYWORD=value; a lone ?\n"
             "prompts for the arguments. Template:\n  %s\n"
             "\n"
             "With --follow[=SECONDS] before DEVICE, follows the receiver until\n"
             "Ctrl-C: a goto for each new fix, at most one every SECONDS (0.1 to\n"
             "3600, at most 3 decimals, after '='; default 1), through map\n"
             "restarts and unplugged receivers, waiting for one not there yet.\n"
             "\n"
             "Reads the receiver for at most %d s, until an RMC sentence (talker\n"
             "GP, GN, GL, GA, GB, BD, GQ, QZ or GI) with a valid fix arrives.\n"
             "Sends signed decimal degrees with up to 6 decimals; waits at most\n"
             "%d s for the map application. A USB tty needs one of the\n"
             "supported receivers on the bus; a tty off the USB bus (a board's\n"
             "UART, Bluetooth, a pseudo-terminal) is read with no check.\n"
             "Supported receivers:\n",
             kUsageLine, kMapPortName, static_cast<int>(kDefaultZoom),
             kArgumentTemplate, kSnapshotWindowMs / 1000,
             kMapReplyTimeoutMs / 1000)) {
    return false;
  }
  for (const SupportedReceiver& receiver : kSupportedReceivers) {
    Print("  %04x:%04x  %s\n", receiver.vendor, receiver.product,
          receiver.name);
  }
  return Print(
      "\n"
      "Exit status: 0 map centred, 1 no supported receiver, 2 wrong\n"
      "arguments, 3 no valid position, 4 map application not running,\n"
      "5 exchange with it failed or timed out, 6 standard output could not\n"
      "be written, 20 interrupted or failed start-up.\n"
      "Full documentation: man navbeacon\n");
}

}  // namespace

ExitStatus EntryMain(std::span<const char* const> words,
                     RunServices& services) {
  if (words.size() == 1 && IsWord(words[0], "--help", "-h")) {
    return PrintUsage() ? ExitStatus::kSuccess : ExitStatus::kInterrupted;
  }
  if (words.size() == 1 && IsWord(words[0], "--version", "-V")) {
    return Print("%s\n", kVersionLine) ? ExitStatus::kSuccess
                                       : ExitStatus::kInterrupted;
  }

  // --follow[=SECONDS] before the template: the template stays as it is.
  int follow_ms = 0;
  if (!words.empty() && IsFollowOption(words[0])) {
    follow_ms = ReadFollowOption(words[0]);
    if (follow_ms < 0) {
      if (!Print("Wrong argument(s)!\n")) return ExitStatus::kInterrupted;
      Warnf("%s: SECONDS must be a number from 0.1 to 3600 with at most 3 "
            "decimals, as in --follow=2.5\n",
            words[0]);
      return ExitStatus::kWrongArguments;
    }
    words = words.subspan(1);
    // SECONDS after a space, or --follow twice: no DEVICE is a number.
    if (!words.empty() &&
        (IsFollowOption(words[0]) || IsFollowSeconds(words[0]))) {
      if (!Print("Wrong argument(s)!\n")) return ExitStatus::kInterrupted;
      Warnf("%s: --follow comes once, and --follow=SECONDS takes its value "
            "after '=', as in --follow=2.5\n",
            words[0]);
      return ExitStatus::kWrongArguments;
    }
  }

  ArgSlot slots[6];
  std::unique_ptr<RDArgs> parsed =
      ReadArgs(kArgumentTemplate, slots, words, stdin, stdout);
  if (!parsed) {
    if (!Print("Wrong argument(s)!\n")) return ExitStatus::kInterrupted;
    if (follow_ms > 0) {
      Warnf("usage: navbeacon --follow[=SECONDS] %s\n",
            kUsageLine + strlen("navbeacon "));
    } else {
      Warnf("usage: %s\n", kUsageLine);
    }
    Warnf("see navbeacon --help\n");
    return ExitStatus::kWrongArguments;
  }
  CommandArgs args;
  args.device = slots[0].text;
  args.unit = slots[1].text;
  args.baudrate = slots[2].text;
  args.zoom = slots[3].number;
  args.verbose = slots[4].on;
  args.position = slots[5].on;
  const ExitStatus status = follow_ms > 0
                                ? RunFollow(args, follow_ms, services)
                                : RunPositionUpdate(args, services);
  FreeArgs(std::move(parsed));
  return status;
}
