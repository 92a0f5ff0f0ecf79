// The receiver's text through gpsd, the daemon that owns GPS receivers on
// many Linux systems (it holds their ttys exclusively). gpsd speaks JSON
// over TCP and relays each receiver's NMEA sentences on request. The jobs
// are in files of their own: the name (gpsd_name), the lookup of its host
// (gpsd_lookup), the connection (gpsd_connection), the conversation
// (gpsd_conversation) and choosing a fix (gpsd_fix); this is their sum.
#pragma once

#include <cstdint>

#include "gps/gpsd_conversation.h"
#include "gps/gpsd_name.h"
#include "gps/nmea_window.h"

// Appends what gpsd relays from the device (or all its devices) to
// `buffer`, with the collection window of ReadSerialDevice. A device is
// first looked for in gpsd's listing and watched under the name found
// there (a gpsd on this machine lists a link by the tty it leads to). With
// `only_if_listed`, reads nothing unless a well-formed listing that names
// the device arrives within kGpsdProbeMs. gpsd is asked for its current
// fix as the watch starts; when TakeCurrentFix takes it, the window ends
// at once with kPosition and gpsd's answer as its text. A line that is not
// a JSON object (cut off, malformed, over kMaxGpsdLine) is passed over: its
// start goes to the text, and report.problem says what it was should the
// window end with no sentence relayed. An error from gpsd, or the
// connection's end, ends the window with kReadFailed and report.problem
// saying so; a gpsd that says nothing at all is named by its address.
GpsdAnswer ReadGpsdSnapshot(NmeaBuffer& buffer, const GpsdAddress& address,
                            bool only_if_listed, SnapshotReport& report,
                            uint32_t& bytes);
