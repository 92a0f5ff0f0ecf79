#include "maphost/marble_bridge.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/break.h"
#include "platform/errors.h"
#include "platform/wait.h"

namespace {

constexpr const char* kService = "org.kde.marble";
constexpr const char* kObject = "/Marble";
constexpr const char* kInterface = "org.kde.marble";
// Marble 22.12 applies setCenter before it replies; the poll is for one
// that does it later.
constexpr int kPollMs = 10;

using Message = Owned<sd_bus_message, sd_bus_message_unref>;

int TakeReply(sd_bus_message* reply, void* data, sd_bus_error*) {
  static_cast<Message*>(data)->reset(sd_bus_message_ref(reply));
  return 0;
}

// Sends `call` and waits for its reply (a return or an error message)
// until `deadline`. 0, or -errno: -ETIMEDOUT past the deadline, -EINTR on
// Ctrl-C, another one when the connection failed.
int Call(sd_bus* bus, sd_bus_message* call, int64_t deadline, Message& reply) {
  reply.reset();
  sd_bus_slot* raw_slot = nullptr;
  // sd-bus's own timeout a little later than ours: ours is the one seen.
  const uint64_t timeout_us = (RemainingMs(deadline) + 100) * UINT64_C(1000);
  int r = sd_bus_call_async(bus, &raw_slot, call, TakeReply, &reply, timeout_us);
  if (r < 0) return r;
  // Unreferencing a pending call's slot cancels it.
  const Owned<sd_bus_slot, sd_bus_slot_unref> slot(raw_slot);
  while (!reply) {
    // Checked before each message, so that a peer that keeps sending
    // cannot hold the wait past its bound.
    if (BreakRequested()) return -EINTR;
    int wait_ms = RemainingMs(deadline);
    if (wait_ms == 0) return -ETIMEDOUT;
    r = sd_bus_process(bus, nullptr);
    if (r < 0) return r;
    if (r > 0) continue;
    const int events = sd_bus_get_events(bus);
    if (events < 0) return events;
    uint64_t due_us;
    if (sd_bus_get_timeout(bus, &due_us) >= 0 && due_us != UINT64_MAX) {
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      const uint64_t now_us = now.tv_sec * UINT64_C(1000000) + now.tv_nsec / 1000;
      const uint64_t due_ms = due_us > now_us ? (due_us - now_us + 999) / 1000 : 0;
      wait_ms = static_cast<int>(std::min<uint64_t>(wait_ms, due_ms));
    }
    struct pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(events), 0},
                            {BreakFd(), POLLIN, 0}};
    if (poll(fds, BreakFd() >= 0 ? 2 : 1, wait_ms) < 0) {
      r = NegativeErrno();
      if (r != -EINTR) return r;
    }
  }
  return 0;
}

// Calls `member` of `interface` on Marble's object with `args` (sd-bus
// types `types`); sends nothing once `deadline` has passed (-ETIMEDOUT).
template <typename... Args>
int CallMarble(sd_bus* bus, const char* interface, const char* member,
               int64_t deadline, Message& reply, const char* types,
               Args... args) {
  if (RemainingMs(deadline) == 0) return -ETIMEDOUT;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, kService, kObject,
                                         interface, member);
  if (r < 0) return r;
  Message call(raw);
  r = sd_bus_message_append(raw, types, args...);
  return r < 0 ? r : Call(bus, raw, deadline, reply);
}

// What the host replies when a call failed (`r` < 0, or an error reply);
// nothing when it succeeded.
std::optional<BridgeReply> Failure(int r, sd_bus_message* reply) {
  if (r == -ETIMEDOUT) {
    return BridgeReply{kMarbleFailed,
                       "Marble did not answer within " +
                           std::to_string(MarbleBridge::kShowBoundMs / 1000) +
                           " s; it may be busy drawing"};
  }
  if (r == -EINTR) return BridgeReply{kMarbleFailed, "interrupted"};
  if (r < 0) {
    return BridgeReply{kMarbleFailed,
                       std::string("D-Bus connection failed: ") + FailureText(r)};
  }
  if (sd_bus_message_is_method_error(reply, nullptr) <= 0) return std::nullopt;
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  if (sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN,
                             SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    return BridgeReply{kMarbleAbsent, "Marble is not running"};
  }
  return BridgeReply{kMarbleFailed,
                     error->message != nullptr ? error->message : error->name};
}

}  // namespace

int32_t MarbleZoom(int32_t slippy_zoom) {
  const int32_t level = std::clamp(slippy_zoom, 0, 19);
  return std::clamp(
      static_cast<int32_t>(std::lround(902 + 200 * std::log(2.0) * level)),
      900, 3500);
}

bool CentreShows(const MapGoto& where, double longitude, double latitude) {
  const double east = std::fabs(std::remainder(longitude - where.longitude, 360.0));
  return east <= 1e-4 && std::fabs(latitude - where.latitude) <= 1e-4;
}

MarbleBridge::MarbleBridge() = default;
MarbleBridge::~MarbleBridge() = default;

BridgeReply MarbleBridge::ShowBy(const MapGoto& where, int64_t deadline) {
  // A goto that waited out its time is answered as a Marble that did not
  // answer in time would be, and nothing reaches Marble.
  if (RemainingMs(deadline) == 0) return *Failure(-ETIMEDOUT, nullptr);
  if (!bus_) {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_user(&bus);
    if (r < 0) {
      return {kMarbleFailed, std::string("no session D-Bus to find Marble on: ") +
                                 FailureText(r)};
    }
    bus_.reset(bus);
  }
  sd_bus* bus = bus_.get();
  Message reply;
  // A failed connection is opened afresh at the next goto.
  auto failed = [&](int r) {
    std::optional<BridgeReply> failure = Failure(r, reply.get());
    if (r < 0 && r != -ETIMEDOUT && r != -EINTR) bus_.reset();
    return failure;
  };
  // Zoom first: Marble keeps its centre when the zoom changes.
  int r = CallMarble(bus, kInterface, "setZoom", deadline, reply, "i",
                     MarbleZoom(where.zoom));
  if (auto failure = failed(r)) return *failure;
  r = CallMarble(bus, kInterface, "setCenter", deadline, reply, "(dd)",
                 where.longitude, where.latitude);
  if (auto failure = failed(r)) return *failure;
  for (;;) {
    r = CallMarble(bus, "org.freedesktop.DBus.Properties", "Get", deadline,
                   reply, "ss", kInterface, "center");
    if (auto failure = failed(r)) return *failure;
    double longitude, latitude;
    if (sd_bus_message_read(reply.get(), "v", "(dd)", &longitude, &latitude) < 0) {
      return {kMarbleFailed, "Marble's centre is not a longitude and latitude"};
    }
    if (CentreShows(where, longitude, latitude)) return {};
    // The last second is left for one more read, so that a centre that
    // stays elsewhere is told apart from a Marble that stopped answering.
    if (RemainingMs(deadline) <= 1000) {
      char text[128];
      snprintf(text, sizeof text,
               "Marble stayed centred on %.6f %.6f instead of the goto",
               latitude, longitude);
      return {kMarbleFailed, text};
    }
    WaitReadable(BreakFd(), kPollMs);
  }
}
