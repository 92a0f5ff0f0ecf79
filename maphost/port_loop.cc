#include "maphost/port_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <string_view>

#include "maphost/geo_bridge.h"
#include "platform/break.h"
#include "platform/console.h"
#include "platform/wait.h"

namespace {

// Connections open at once, silent and unanswered together. A sender's
// request arrives right after it connects; the bound keeps clients that
// connect and send nothing from taking every descriptor.
constexpr size_t kMaxConnections = 64;
// How long a connection may stay silent before it is closed.
constexpr int kSilenceMs = 2000;
// A sender's request follows its connection at once: a connection silent
// for less than this is not closed to make room for another.
constexpr int kYoungMs = 500;
// How long the port is left alone when there is no room for a connection
// and none can be made, instead of being asked again at once, forever.
constexpr int kPauseMs = 100;
// Connections taken from the queue in one turn, so that requests already
// in are not kept waiting behind a flood of new ones.
constexpr int kAcceptsPerTurn = 16;

constexpr std::string_view kGotoFormat =
    "a goto is \"goto LAT LON ZOOM\": decimal degrees, north and east "
    "positive, and a whole zoom level, e.g. goto 48.1173 11.516667 12";

// A connection whose request has not come yet.
struct Waiting {
  ScopedFd connection;
  int64_t accepted_at;  // MonotonicMs
};

// Whether the command's first word is goto, in any case: such a command
// is either taken as the goto navbeacon sends, or refused.
bool IsGoto(std::string_view command) {
  if (command.size() < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    if (tolower(static_cast<unsigned char>(command[i])) != "goto"[i]) return false;
  }
  return command.size() == 4 || isspace(static_cast<unsigned char>(command[4]));
}

// Takes the next field of `text`, up to a single space or the end.
std::string_view NextField(std::string_view& text) {
  const size_t space = text.find(' ');
  std::string_view field = text.substr(0, space);
  text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
  return field;
}

// A decimal number in fixed notation: an optional minus, digits, and
// optionally a point and more digits. No exponent, no "inf" or "nan".
bool ParseDecimal(std::string_view text, double& value) {
  size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  const size_t digits = i;
  while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits) return false;
  if (i < text.size() && text[i] == '.') {
    const size_t decimals = ++i;
    while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == decimals) return false;
  }
  if (i != text.size()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(),
                                            value, std::chars_format::fixed);
  // Too many digits for a double: not finite, so out of any range.
  if (error == std::errc::result_out_of_range) value = HUGE_VAL;
  return end == text.data() + text.size();
}

// The goto exactly as navbeacon sends it: "goto LAT LON ZOOM", single
// spaces, nothing after. False with the reason in `why`.
bool ParseGoto(std::string_view command, MapGoto& where, std::string& why) {
  std::string_view rest = command;
  const bool words = NextField(rest) == "goto";
  const std::string_view latitude = NextField(rest), longitude = NextField(rest),
                         zoom = NextField(rest);
  auto [end, error] = std::from_chars(zoom.data(), zoom.data() + zoom.size(), where.zoom);
  if (!words || !rest.empty() || command.back() == ' ' ||
      !ParseDecimal(latitude, where.latitude) ||
      !ParseDecimal(longitude, where.longitude) || zoom.empty() ||
      error != std::errc() || end != zoom.data() + zoom.size()) {
    why = kGotoFormat;
    return false;
  }
  // Written so that NaN fails too.
  if (!(where.latitude >= -90 && where.latitude <= 90)) {
    why = "the latitude is out of range (-90 to 90)";
    return false;
  }
  if (!(where.longitude >= -180 && where.longitude <= 180)) {
    why = "the longitude is out of range (-180 to 180)";
    return false;
  }
  return true;
}

void PrintTime() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  printf("[%s.%03ld] ", stamp, now.tv_nsec / 1000000);
}

// Client text on a line of its own, escaped.
void PrintField(const char* label, std::string_view text, const char* quote) {
  printf("  %s: %s", label, quote);
  PrintEscaped(text, false);
  printf("%s\n", quote);
}

void ShowFields(const ReceivedRexxMsg& message) {
  printf("  action: 0x%08x\n", message.action);
  PrintField("host address", message.host_address, "");
  PrintField("file extension", message.file_extension, "\"");
  printf("  arguments: %zu\n", message.args.size());
  for (size_t i = 0; i < message.args.size(); ++i) {
    const std::string label = "argument " + std::to_string(i);
    PrintField(label.c_str(), message.args[i], "");
  }
}

class PortLoop {
 public:
  PortLoop(HostPort& port, const PortLoopOptions& options, MapBridges& bridges)
      : port_(port), options_(options), bridges_(bridges) {}
  void Run();

 private:
  bool Done() const {
    return BreakRequested() || (options_.count >= 0 && taken_ >= options_.count);
  }
  void Accept();
  bool MakeRoom();
  bool Take(Waiting& client);
  void Answer(HostMsg& message);
  BridgeReply Show(const std::string& command);

  HostPort& port_;
  const PortLoopOptions& options_;
  MapBridges& bridges_;
  std::deque<Waiting> waiting_;  // oldest first
  std::deque<HostMsg> held_;     // --no-reply: taken, never answered
  long taken_ = 0;
  int64_t paused_until_ = 0;
  bool told_no_descriptor_ = false;
};

void PortLoop::Run() {
  // Accepting must never block the loop: a client may give up between
  // poll() and accept().
  fcntl(port_.fd(), F_SETFL, fcntl(port_.fd(), F_GETFL) | O_NONBLOCK);
  std::vector<pollfd> watched;
  while (!Done()) {
    const int64_t now = MonotonicMs();
    const bool accepting = now >= paused_until_;
    watched.assign({{BreakFd(), POLLIN, 0}, {accepting ? port_.fd() : -1, POLLIN, 0}});
    for (const Waiting& client : waiting_) {
      watched.push_back({client.connection.get(), POLLIN, 0});
    }
    // The oldest connection is the first to fall silent for too long.
    int64_t wake = waiting_.empty() ? -1 : waiting_.front().accepted_at + kSilenceMs;
    if (!accepting && (wake < 0 || paused_until_ < wake)) wake = paused_until_;
    if (poll(watched.data(), watched.size(), wake < 0 ? -1 : RemainingMs(wake)) < 0 &&
        errno != EINTR) {
      Warnf("cannot wait for clients: %s\n", strerror(errno));
      return;
    }
    if (BreakRequested()) return;
    // Requests that are in first (no more than --count allows), then the
    // connections that have expired.
    std::deque<Waiting> still;
    for (size_t i = 0; i < waiting_.size(); ++i) {
      Waiting& client = waiting_[i];
      const bool keep = watched[i + 2].revents != 0 && !Done()
                            ? Take(client)
                            : MonotonicMs() < client.accepted_at + kSilenceMs;
      if (keep) still.push_back(std::move(client));
    }
    waiting_ = std::move(still);
    if (!Done() && (watched[1].revents & POLLIN)) Accept();
  }
}

void PortLoop::Accept() {
  for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
    // The port stays readable while its queue holds clients: with no
    // room, asking again at once would spin.
    const bool full = waiting_.size() + held_.size() >= kMaxConnections;
    ScopedFd connection;
    if (full || !(connection = ScopedFd(accept4(port_.fd(), nullptr, nullptr,
                                                SOCK_CLOEXEC | SOCK_NONBLOCK)))) {
      if (!full && errno != EMFILE && errno != ENFILE && errno != ENOBUFS &&
          errno != ENOMEM) {
        return;  // none left (EAGAIN), or one that gave up
      }
      if (MakeRoom()) continue;
      if (!full && !told_no_descriptor_) {
        Warnf("cannot take a client: %s; waiting for descriptors to free up "
              "(ulimit -n raises the limit)\n", strerror(errno));
        told_no_descriptor_ = true;
      }
      paused_until_ = MonotonicMs() + kPauseMs;
      return;
    }
    // The port's directory admits only us; this holds even when it is
    // shared by mistake.
    if (!PeerIsUs(connection.get())) continue;
    waiting_.push_back({std::move(connection), MonotonicMs()});
  }
}

// Closes the connection that has waited longest for nothing: silent for
// kYoungMs at least, else unanswered. False when there is none.
bool PortLoop::MakeRoom() {
  if (!waiting_.empty() && MonotonicMs() - waiting_.front().accepted_at >= kYoungMs) {
    waiting_.pop_front();
  } else if (!held_.empty()) {
    held_.pop_front();
  } else {
    return false;
  }
  return true;
}

// Reads the request of a connection that has become readable and answers
// it; false when the connection is done with (answered, closed by the
// client, malformed).
bool PortLoop::Take(Waiting& client) {
  HostMsg message;
  const Request request = ReceiveRequest(client.connection.get(), message.message);
  if (request != Request::kRead) return request == Request::kNotYet;
  message.connection = std::move(client.connection);
  Answer(message);
  return false;
}

void PortLoop::Answer(HostMsg& message) {
  ++taken_;
  const std::string& command = message.message.args[0];
  PrintTime();
  PrintEscaped(command, false);
  printf("\n");
  if (options_.fields) ShowFields(message.message);
  const BridgeReply outcome = Show(command);
  fflush(stdout);
  if (!options_.reply) {
    held_.push_back(std::move(message));
  } else if (outcome.code != 0) {
    const std::string_view text = outcome.text;
    ReplyMsg(message, outcome.code, &text);
  } else if (options_.error != 0) {
    ReplyMsg(message, options_.error, nullptr);
  } else {
    const std::string_view ok = "OK";
    ReplyMsg(message, 0, &ok);
  }
}

// A goto that is sound goes to each bridge in turn until one fails.
BridgeReply PortLoop::Show(const std::string& command) {
  if (!IsGoto(command)) return {};
  MapGoto where;
  BridgeReply outcome;
  if (!ParseGoto(command, where, outcome.text)) {
    Warnf("refused a goto: %s\n", outcome.text.c_str());
    outcome.code = kGotoRefused;
    return outcome;
  }
  printf("  map: %s\n", OpenStreetMapLink(where).c_str());
  for (const std::unique_ptr<MapBridge>& bridge : bridges_) {
    outcome = bridge->Show(where);
    if (outcome.code != 0) {
      Warnf("the goto was not shown: %s\n", outcome.text.c_str());
      break;
    }
  }
  return outcome;
}

}  // namespace

void RunPortLoop(HostPort& port, const PortLoopOptions& options,
                 MapBridges& bridges) {
  PortLoop(port, options, bridges).Run();
}
