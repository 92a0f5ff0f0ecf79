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

}  // namespace

std::string OpenStreetMapLink(const MapGoto& where) {
  char link[256];
  snprintf(link, sizeof link,
           "https://www.openstreetmap.org/?mlat=%.6f&mlon=%.6f#map=%d/%.6f/%.6f",
           where.latitude, where.longitude, static_cast<int>(where.zoom),
           where.latitude, where.longitude);
  return link;
}

BridgeReply GeoBridge::ShowBy(const MapGoto& where, int64_t deadline) {
  // The desktop's own map when it has one, the browser otherwise.
  const bool desktop = DesktopHasHandler(
      "x-scheme-handler/geo", std::min(deadline, MonotonicMs() + kHandlerQueryMs));
  if (BreakRequested()) return {kHandOffFailed, "the map host is stopping"};
  const std::string link = OpenStreetMapLink(where);
  char geo[128];
  snprintf(geo, sizeof geo, "geo:%.6f,%.6f?z=%d", where.latitude, where.longitude,
           static_cast<int>(where.zoom));
  const std::string target = desktop ? geo : link;
  const OpenOutcome opened = DesktopOpen(target, deadline);
  switch (opened.kind) {
    case OpenOutcome::kNotStarted:
      Warnf("cannot run xdg-open: %s; it comes with the xdg-utils package\n",
            opened.why.c_str());
      return {kHandOffFailed, "the map host could not run xdg-open"};
    case OpenOutcome::kInterrupted:
      return {kHandOffFailed, "the map host is stopping"};
    case OpenOutcome::kOpened:
    case OpenOutcome::kHandedOver: {
      const char* how = opened.kind == OpenOutcome::kOpened ? "opened in" : "handed to";
      if (desktop) {
        Print("  %s the desktop's map: %s\n", how, target.c_str());
      } else {
        Print("  %s the browser: no map application handles geo: links\n", how);
      }
      return {};
    }
    case OpenOutcome::kFailed:
      break;
  }
  WarnOpenFailed(target, opened);
  if (!desktop) {
    return {kHandOffFailed, "xdg-open could not open the browser (" + opened.why + ")"};
  }
  // As when the desktop has no map: the OpenStreetMap link in the browser.
  const std::string failed = "the desktop's map failed (xdg-open " + opened.why + ")";
  const OpenOutcome browser = DesktopOpen(link, deadline);
  if (browser.kind == OpenOutcome::kOpened || browser.kind == OpenOutcome::kHandedOver) {
    Print("  %s the browser: the desktop's map failed\n",
          browser.kind == OpenOutcome::kOpened ? "opened in" : "handed to");
    return {kHandOffFailed, failed + "; the OpenStreetMap link went to the browser"};
  }
  if (browser.kind == OpenOutcome::kFailed) WarnOpenFailed(link, browser);
  Print("  not shown: the desktop's map and the browser both failed\n");
  return {kHandOffFailed, failed + "; the browser could not be opened either"};
}
