#include "app/entry.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "app/exit_status.h"
#include "platform/console.h"
#include "platform/read_args.h"

void PrintUsage() {
  Printf(
      "Usage: navbeacon DEVICE UNIT BAUDRATE [ZOOM n] [VERBOSE] [POSITION]\n"
      "Template: %s\n"
      "\n"
      "Centres the running map application on the position of the attached\n"
      "USB GPS receiver: sends it \"goto LAT LON ZOOM\" through its public\n"
      "port %s and waits for the reply.\n"
      "\n"
      "  DEVICE    the receiver's serial device: a file (/dev/ttyACM0, with\n"
      "            UNIT 0), or a name the unit is appended to (ttyACM 0 opens\n"
      "            /dev/ttyACM0); a FIFO or a recorded NMEA file also works\n"
      "  UNIT      the unit number\n"
      "  BAUDRATE  the line speed, e.g. 4800 or 9600\n"
      "  ZOOM      the zoom level for the map (default %d)\n"
      "  VERBOSE   print the text received from the receiver\n"
      "  POSITION  print the position found\n"
      "Keywords may be given in any case, as KEYWORD value or KEYWORD=value.\n"
      "A lone ? prompts for the arguments.\n"
      "\n"
      "Collects the receiver's text for at most %.1f s, until a complete\n"
      "$GPRMC line has arrived. Positions are signed decimal degrees.\n"
      "Supported receivers: u-blox (USB 1546:01a5), Prolific PL2303\n"
      "(067b:2303). Public ports live in $XDG_RUNTIME_DIR/rexx.\n"
      "Permission denied on the device? Join its group (usually dialout).\n"
      "\n"
      "Exit status: 0 map centred, 1 no supported receiver, 2 wrong\n"
      "arguments, 3 no valid position, 4 map application not running,\n"
      "5 exchange with it failed, 20 interrupted or failed start-up.\n"
      "See man navbeacon.\n",
      kArgumentTemplate, kMapPortName, static_cast<int>(kDefaultZoom),
      kSnapshotWindowMs / 1000.0);
}

int EntryMain(std::span<const char* const> words, RunServices& services) {
  if (words.size() == 1 && strcmp(words[0], "--help") == 0) {
    PrintUsage();
    return kExitMapCentred;
  }
  if (words.size() == 1 && strcmp(words[0], "--version") == 0) {
    // Skip the "$VER: " marker.
    Printf("%s\n", kVersionString + 6);
    return kExitMapCentred;
  }

  ArgSlot slots[6];
  std::unique_ptr<RDArgs> parsed =
      ReadArgs(kArgumentTemplate, slots, words, stdin, stdout);
  if (!parsed) {
    Printf("Wrong argument(s)!\n");
    return kExitWrongArguments;
  }
  CommandArgs args;
  args.device = slots[0].text;
  args.unit = slots[1].text;
  args.baudrate = slots[2].text;
  args.zoom = slots[3].number;
  args.verbose = slots[4].on;
  args.position = slots[5].on;
  const int status = RunPositionUpdate(args, services);
  FreeArgs(std::move(parsed));
  return status;
}
