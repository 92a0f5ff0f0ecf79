#include "maphost/geo_bridge.h"

#include <algorithm>
#include <cstdio>

#include "maphost/desktop_open.h"
#include "platform/break.h"
#include "platform/console.h"
#include "platform/wait.h"

namespace {

// xdg-mime is a shell script that reads the desktop's configuration: quick
// as a rule, but a hung one must not hold the goto for long.
constexpr int kHandlerQueryMs = 2000;

// Why an xdg-open run did not show the goto, for the reply; empty when it
// did (or may yet, still running after its whole wait).
std::string OpenFailure(const OpenOutcome& opened, const std::string& late) {
  switch (opened.kind) {
    case OpenOutcome::kOpened:
    case OpenOutcome::kHandedOver:
      return "";
    case OpenOutcome::kFailed:
      return "xdg-open " + opened.why;
    case OpenOutcome::kNotStarted:
      return "xdg-open could not be run (" + opened.why + "; it comes with xdg-utils)";
    case OpenOutcome::kUnfinished:
      return late + ": xdg-open had not ended";
    case OpenOutcome::kOutOfTime:
      return late;
    case OpenOutcome::kBusy:
      return "the previous " + std::to_string(kMaxOpenersRunning) +
             " xdg-open are still running; close the map they opened";
    case OpenOutcome::kInterrupted:
      break;
  }
  return "the map host is stopping";
}

}  // namespace

BridgeReply GeoBridge::ShowBy(const MapGoto& where, int64_t deadline) {
  const std::string late = "not shown within " + std::to_string(BoundMs() / 1000) + " s";
  // xdg-open is given its whole wait, so that one still running then has
  // been running long enough to be taken as showing the map; a goto that
  // waited behind older ones too long starts nothing.
  if (RemainingMs(deadline) < kOpenWaitMs) return {kHandOffFailed, late};
  // The desktop's own map when it has one, the browser otherwise.
  const HandlerQuery query = QueryHandler(
      "x-scheme-handler/geo", std::min(deadline - kOpenWaitMs, MonotonicMs() + kHandlerQueryMs));
  if (query.kind == HandlerQuery::kInterrupted) return {kHandOffFailed, "the map host is stopping"};
  const bool desktop = query.kind == HandlerQuery::kFound;
  const std::string link = OpenStreetMapLink(where);
  char geo[128];
  snprintf(geo, sizeof geo, "geo:%.6f,%.6f?z=%d", where.latitude, where.longitude,
           static_cast<int>(where.zoom));
  const std::string target = desktop ? geo : link;
  const OpenOutcome opened = DesktopOpen(target, deadline);
  if (opened.kind == OpenOutcome::kNotStarted) {
    return {kHandOffFailed, "the map host could not run xdg-open"};
  }
  std::string failed = OpenFailure(opened, late);
  if (failed.empty()) {
    const char* how = opened.kind == OpenOutcome::kOpened ? "opened in" : "handed to";
    if (desktop) {
      Print("  %s the desktop's map: %s\n", how, target.c_str());
      return {};
    }
    if (query.kind == HandlerQuery::kNone) {
      Print("  %s the browser: no map application handles geo: links\n", how);
      return {};
    }
    Print("  %s the browser: the desktop's map application is not known\n", how);
    return {kHandOffFailed, "the desktop could not be asked for its map (xdg-mime " + query.why +
                                "); the OpenStreetMap link went to the browser"};
  }
  ShowOpenerOutput(target, opened);
  if (opened.kind == OpenOutcome::kInterrupted) return {kHandOffFailed, failed};
  if (!desktop) {
    const std::string asked = query.kind == HandlerQuery::kFailed
                                  ? "the desktop could not be asked for its map (xdg-mime " +
                                        query.why + "), and "
                                  : "";
    return {kHandOffFailed, asked + "the browser could not be opened: " + failed};
  }
  failed = "the desktop's map failed (" + failed + ")";
  if (opened.kind != OpenOutcome::kFailed) return {kHandOffFailed, failed};
  // As when the desktop has no map: the OpenStreetMap link in the browser.
  const OpenOutcome browser = DesktopOpen(link, deadline);
  const std::string browser_failed = OpenFailure(browser, late);
  if (browser_failed.empty()) {
    Print("  %s the browser: the desktop's map failed\n",
          browser.kind == OpenOutcome::kOpened ? "opened in" : "handed to");
    return {kHandOffFailed, failed + "; the OpenStreetMap link went to the browser"};
  }
  ShowOpenerOutput(link, browser);
  return {kHandOffFailed, failed + "; the browser could not be opened either: " + browser_failed};
}
