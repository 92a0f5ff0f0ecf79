#include "gps/gpsd_client.h"

#include <cstdio>
#include <cstring>

#include "gps/gpsd_connection.h"
#include "platform/wait.h"

GpsdAnswer ReadGpsdSnapshot(NmeaBuffer& buffer, const GpsdAddress& address,
                            bool only_if_listed, SnapshotReport& report,
                            uint32_t& bytes) {
  bytes = 0;
  const int64_t deadline = MonotonicMs() + kSnapshotWindowMs;
  // Whatever answers on gpsd's port (another server, a hung gpsd) costs
  // the tty little of its window: the probe, lookup and connection
  // included, has kGpsdProbeMs.
  const int64_t connected_by =
      only_if_listed ? MonotonicMs() + kGpsdProbeMs : deadline;
  ScopedFd connection = ConnectToGpsd(address, connected_by, report);
  if (!connection) {
    return report.end == WindowEnd::kInterrupted ? GpsdAnswer::kServed
                                                 : GpsdAnswer::kNoGpsd;
  }
  const GpsdAnswer answer =
      ConverseWithGpsd(connection.get(), buffer, address.device,
                       only_if_listed, connected_by, deadline, report, bytes);
  const bool v6 = strchr(address.host, ':') != nullptr;
  char where[sizeof address.host + sizeof address.port + 4];
  snprintf(where, sizeof where, "%s%s%s:%s", v6 ? "[" : "", address.host,
           v6 ? "]" : "", address.port);
  if (strcmp(report.problem, kGpsdSilent) == 0) {
    snprintf(report.problem, sizeof report.problem,
             "gpsd at %s did not answer in %d s", where,
             kSnapshotWindowMs / 1000);
  } else if (strcmp(report.problem, kGpsdUnlisted) == 0) {
    snprintf(report.problem, sizeof report.problem,
             "gpsd at %s did not answer the request for its devices in %d s",
             where, kSnapshotWindowMs / 1000);
  }
  // Whatever else went wrong, a peer that never said gpsd's VERSION line
  // may be another server on the port.
  const size_t used = strlen(report.problem);
  if (used > 0 && !report.gpsd_greeted && report.end != WindowEnd::kInterrupted &&
      strstr(report.problem, " did not answer in ") == nullptr) {
    snprintf(report.problem + used, sizeof report.problem - used,
             "; the server at %s may not be gpsd (it sent no VERSION line)",
             where);
  }
  return answer;
}
