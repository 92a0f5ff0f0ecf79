#include "gps/gpsd_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/scoped_fd.h"
#include "platform/wait.h"

namespace {

constexpr char kBracketsHint[] =
    "brackets hold an IPv6 address, as in gpsd://[::1]:2947";

// What ConverseWithGpsd says of a peer that sent not a byte; the caller,
// who knows the address, says it in full.
constexpr char kSilentPeer[] = "gpsd did not answer";
// ... and of one that greeted but never answered ?DEVICES.
constexpr char kUnlisted[] = "gpsd did not list its devices";

// How much of a line passed over the explanation quotes.
constexpr size_t kQuotedLine = 60;

// How much of a line passed over VERBOSE shows.
constexpr size_t kShownSkippedLine = 160;

// Frees getaddrinfo's list at the end of its scope.
struct AddressList {
  addrinfo* first = nullptr;
  ~AddressList() {
    if (first != nullptr) freeaddrinfo(first);
  }
};

// One name lookup, shared by the caller and the thread that makes it.
struct Lookup {
  std::string host, port;
  ScopedFd done;  // an eventfd, readable once the lookup is over
  std::atomic<bool> over{false};
  int status = 0;
  int error = 0;  // errno, with EAI_SYSTEM
  AddressList list;
};

constexpr int kLookupInterrupted = 1;  // getaddrinfo's codes are negative
constexpr int kLookupTimedOut = 2;

// Looks the address up by `deadline`: 0 with `lookup->list` filled, or
// getaddrinfo's code, kLookupTimedOut or kLookupInterrupted. The resolver
// runs on a thread of its own because getaddrinfo can take many seconds
// and ignores Ctrl-C; the wait for it here ends on both. An abandoned
// lookup runs to its end and frees what it holds then.
int LookUp(const GpsdAddress& address, int64_t deadline,
           std::shared_ptr<Lookup>& lookup) {
  lookup = std::make_shared<Lookup>();
  lookup->host = address.host;
  lookup->port = address.port;
  lookup->done = ScopedFd(eventfd(0, EFD_CLOEXEC));
  lookup->error = errno;
  if (!lookup->done) return EAI_SYSTEM;
  try {
    std::thread([lookup] {
      addrinfo hints = {};
      hints.ai_socktype = SOCK_STREAM;
      lookup->status = getaddrinfo(lookup->host.c_str(), lookup->port.c_str(),
                                   &hints, &lookup->list.first);
      lookup->error = errno;
      lookup->over.store(true, std::memory_order_release);
      const uint64_t one = 1;
      if (write(lookup->done.get(), &one, sizeof one) < 0) {
        // Nobody waits any more.
      }
    }).detach();
  } catch (const std::system_error& failure) {
    lookup->error = failure.code().value();
    return EAI_SYSTEM;
  }
  switch (WaitReadable(lookup->done.get(), RemainingMs(deadline))) {
    case WaitResult::kBreak:
      return kLookupInterrupted;
    case WaitResult::kReady:
      if (lookup->over.load(std::memory_order_acquire)) return lookup->status;
      [[fallthrough]];
    default:
      return kLookupTimedOut;
  }
}

// A TCP connection to one of the addresses by `deadline`; an empty one
// when none can be had, with `error` saying why.
ScopedFd Connect(const addrinfo* first, int64_t deadline, int& error) {
  error = ECONNREFUSED;
  for (const addrinfo* each = first; each != nullptr; each = each->ai_next) {
    ScopedFd fd(socket(each->ai_family,
                       each->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                       each->ai_protocol));
    if (!fd) continue;
    if (connect(fd.get(), each->ai_addr, each->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        error = errno;
        continue;
      }
      const WaitResult wait = WaitWritable(fd.get(), RemainingMs(deadline));
      if (wait == WaitResult::kBreak) {
        error = EINTR;
        return ScopedFd();
      }
      socklen_t size = sizeof error;
      if (wait != WaitResult::kReady ||
          getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
          error != 0) {
        if (wait == WaitResult::kTimeout) error = ETIMEDOUT;
        continue;
      }
    }
    return fd;
  }
  return ScopedFd();
}

bool Send(int fd, const std::string& text) {
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(text.size());
}

// Is `listed` (a path gpsd reports) the device at `path`? Beyond the same
// name, only a gpsd on this machine names files we can look at: there a
// link (/dev/serial/by-id/..., a udev alias) is the tty it leads to.
bool SameDevice(const std::string& listed, const char* path, bool local) {
  if (listed == path) return true;
  char mine[PATH_MAX], theirs[PATH_MAX];
  return local && realpath(path, mine) != nullptr &&
         realpath(listed.c_str(), theirs) != nullptr &&
         strcmp(mine, theirs) == 0;
}

// Whether the peer on `fd` runs on this machine.
bool OnThisMachine(int fd) {
  sockaddr_storage peer;
  socklen_t size = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
    return false;
  }
  if (peer.ss_family == AF_UNIX) return true;
  if (peer.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (peer.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6) ||
           (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  return false;
}

// gpsd's string member `key`, or empty when there is none or it is not a
// string: what a peer sends decides no type here.
std::string_view Text(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return {};
  return found->get_ref<const std::string&>();
}

// Seconds since the epoch of gpsd's time ("2026-12-06T23:41:32.000Z",
// always UTC); false for anything else. timegm, not mktime: the local
// zone has no say.
bool ParseUtc(std::string_view text, double& seconds) {
  constexpr int kWidths[] = {4, 2, 2, 2, 2, 2};
  constexpr char kAfter[] = "--T::.";
  int fields[6];
  size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    fields[i] = 0;
    for (int digit = 0; digit < kWidths[i]; ++digit, ++at) {
      if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
      fields[i] = fields[i] * 10 + (text[at] - '0');
    }
    if (i < 5 && (at >= text.size() || text[at++] != kAfter[i])) return false;
  }
  double fraction = 0;
  if (at < text.size() && text[at] == '.') {
    double scale = 0.1;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      fraction += (text[at] - '0') * scale;
      scale /= 10;
    }
    if (text[at - 1] == '.') return false;
  }
  if (at + 1 != text.size() || text[at] != 'Z') return false;
  tm utc = {};
  utc.tm_year = fields[0] - 1900;
  utc.tm_mon = fields[1] - 1;
  utc.tm_mday = fields[2];
  utc.tm_hour = fields[3];
  utc.tm_min = fields[4];
  utc.tm_sec = fields[5];
  const time_t whole = timegm(&utc);
  // timegm carries what overflows (30 February is 2 March): a field out
  // of its range shows as a change.
  if (whole == -1 || utc.tm_mon != fields[1] - 1 || utc.tm_mday != fields[2] ||
      utc.tm_hour != fields[3] || utc.tm_min != fields[4] ||
      utc.tm_sec != fields[5]) {
    return false;
  }
  seconds = static_cast<double>(whole) + fraction;
  return true;
}

// gpsd's numeric member `key` as a finite double within `limit` of 0.
bool Coordinate(const nlohmann::json& object, const char* key, double limit,
                double& value) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return false;
  value = found->get<double>();
  return std::isfinite(value) && std::fabs(value) <= limit;
}

// Where the last complete sentence on `line` begins ("$GPRMC,... *HH" or
// "!AIVDM,...*HH" to its end), or line.size() when it ends in none.
size_t SentenceAtEnd(std::string_view line) {
  const auto upper_or_digit = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  const auto hex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
  };
  const size_t n = line.size();
  if (n < 10 || line[n - 3] != '*' || !hex(line[n - 2]) || !hex(line[n - 1])) {
    return n;
  }
  for (size_t at = line.find_last_of("$!"); at != std::string_view::npos;
       at = at == 0 ? std::string_view::npos : line.find_last_of("$!", at - 1)) {
    if (at + 7 <= n - 3 && line[at + 6] == ',' &&
        std::all_of(line.begin() + at + 1, line.begin() + at + 6,
                    upper_or_digit)) {
      return at;
    }
  }
  return n;
}

// Text from a peer as an explanation may quote it: bytes other than
// printable ASCII as \xNN, so that it holds no NUL and no escape.
std::string Escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c >= ' ' && c <= '~') {
      out += c;
    } else {
      char code[5];
      snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(c));
      out += code;
    }
  }
  return out;
}

// One conversation with gpsd: list its devices when a device is named,
// then watch it under the name gpsd gave it (or watch all devices).
class Conversation {
 public:
  Conversation(NmeaBuffer& buffer, const char* device, bool only_if_listed,
               bool local, SnapshotReport& report)
      : device_(device),
        only_if_listed_(only_if_listed),
        local_(local),
        listing_(only_if_listed || device[0] != '\0'),
        report_(report),
        text_(buffer) {}

  // The first request.
  bool Start(int fd) {
    if (!listing_) return StartWatch(fd);
    return Send(fd, "?DEVICES;") || Problem("gpsd closed the connection");
  }

  // Handles one line from gpsd; false when the conversation is over.
  bool Line(std::string_view line, int fd) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return true;
    // gpsd relays sentences as they came ("$..." or "!..."), and says
    // everything else in JSON objects.
    if (line.front() == '$' || line.front() == '!') return Sentence(line);
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    // gpsd cuts a long answer off (3.22 does, at about 9.8 KB, when it
    // serves receivers that see many satellites) and says the next
    // sentence on the same line: such a line is passed over, as is
    // anything else that is not a JSON object.
    if (object.is_discarded()) {
      const size_t tail = SentenceAtEnd(line);
      const std::string_view before = line.substr(0, tail);
      const bool cut = before.starts_with('{') && !before.ends_with('}');
      if (!Skip(before, cut ? "gpsd sent a JSON object cut off before its end"
                            : "gpsd sent a line that is neither JSON nor NMEA")) {
        return false;
      }
      return tail == line.size() || Sentence(line.substr(tail));
    }
    if (!object.is_object()) {
      return Skip(line, "gpsd sent JSON that is not an object");
    }
    const std::string_view kind = Text(object, "class");
    if (kind == "VERSION") report_.gpsd_greeted = true;
    if (kind == "ERROR") {
      const std::string_view message = Text(object, "message");
      return Problem("gpsd answered: " +
                     std::string(message.empty() ? "an error" : message));
    }
    if (kind == "POLL" && polled_) {
      polled_ = false;  // one answer to one question
      timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      if (TakeCurrentFix(line, watch_.empty() ? device_ : watch_.c_str(),
                         static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9,
                         report_)) {
        // The answer is what VERBOSE shows; the position comes from the
        // report, so nothing in the text is taken for a sentence.
        bytes_ += static_cast<uint32_t>(std::min(line.size() + 2, text_.room()));
        text_.Append(line, "\r\n", report_.end);
        report_.end = WindowEnd::kPosition;
        return false;
      }
      // No fix, a stale one or a strange answer: the next sentence decides.
      return true;
    }
    if (kind == "DEVICES" && listing_) {
      listing_ = false;
      const auto devices = object.find("devices");
      if (devices != object.end() && devices->is_array()) {
        for (const nlohmann::json& device : *devices) {
          const std::string path(device.is_object() ? Text(device, "path") : "");
          if (watch_.empty() && !path.empty() &&
              SameDevice(path, device_, local_)) {
            watch_ = path;
          }
        }
      }
      listed_ = !watch_.empty();
      if (!listed_ && only_if_listed_) return false;
      // Not listed: gpsd is asked anyway, and its answer is passed on.
      return StartWatch(fd);
    }
    return true;
  }

  // ?WATCH for the device as gpsd listed it, as named, or for all, and
  // ?POLL for the fix gpsd may already have: a receiver gpsd keeps open
  // has told it the position before this run began.
  bool StartWatch(int fd) {
    nlohmann::json watch = {{"enable", true}, {"nmea", true}};
    if (!watch_.empty()) {
      watch["device"] = watch_;
    } else if (device_[0] != '\0') {
      watch["device"] = device_;
    }
    // A path that is not UTF-8 cannot be said in JSON; gpsd then answers
    // that it has no such device, instead of the dump throwing.
    const std::string request =
        "?WATCH=" +
        watch.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
        ";?POLL;";
    if (!Send(fd, request)) return Problem("gpsd closed the connection");
    polled_ = true;
    return true;
  }

  // The conversation ends on a problem; a line passed over before it is
  // named first.
  bool Problem(const std::string& what) {
    report_.end = WindowEnd::kReadFailed;
    if (skipped_.empty()) {
      snprintf(report_.problem, sizeof report_.problem, "%s", what.c_str());
    } else {
      snprintf(report_.problem, sizeof report_.problem, "%s; then %s",
               skipped_.c_str(), what.c_str());
    }
    return false;
  }

  // A line of no use: its start goes to the text, for VERBOSE, and `what`
  // explains the window should it end with no sentence. The conversation
  // goes on, unless what was shown ends the window.
  bool Skip(std::string_view line, const char* what) {
    if (skipped_.empty()) {
      skipped_ = std::string(what) + ": \"" +
                 Escaped(line.substr(0, kQuotedLine)) + "\"" +
                 (line.size() > kQuotedLine ? "..." : "");
    }
    const std::string_view shown = line.substr(0, kShownSkippedLine);
    const std::string_view after = shown.size() < line.size() ? "...\r\n" : "\r\n";
    bytes_ += static_cast<uint32_t>(
        std::min(shown.size() + after.size(), text_.room()));
    return !text_.Append(shown, after, report_.end);
  }

  // The window ended with no problem: say what was passed over, when gpsd
  // relayed no sentence, or that gpsd said nothing at all.
  void Finish(bool heard) {
    if (report_.end != WindowEnd::kTimeout) return;
    if (!heard) {
      snprintf(report_.problem, sizeof report_.problem, "%s", kSilentPeer);
    } else if (!skipped_.empty() && sentences_ == 0) {
      snprintf(report_.problem, sizeof report_.problem, "%s", skipped_.c_str());
    } else if (listing_) {
      snprintf(report_.problem, sizeof report_.problem, "%s", kUnlisted);
    }
  }

  // Still waiting for the tty probe's listing, or told it is not there.
  bool NotListed() const { return only_if_listed_ && (listing_ || !listed_); }
  uint32_t bytes() const { return bytes_; }

 private:
  // The sentence as the receiver sent it, with its line end.
  bool Sentence(std::string_view line) {
    ++sentences_;
    bytes_ += static_cast<uint32_t>(std::min(line.size() + 2, text_.room()));
    return !text_.Append(line, "\r\n", report_.end);
  }

  const char* device_;
  bool only_if_listed_;
  bool local_;
  bool listing_;
  bool listed_ = false;
  bool polled_ = false;  // ?POLL was sent and not yet answered
  std::string watch_;
  std::string skipped_;  // what the first line passed over was
  size_t sentences_ = 0;
  SnapshotReport& report_;
  WindowText text_;
  uint32_t bytes_ = 0;
};

// A TPV of `device` (of any device when empty) with mode 2 or 3, numeric,
// finite, in-range lat and lon and an ISO 8601 UTC time.
bool ReadTpv(const nlohmann::json& fix, const char* device, GpsdFix& found) {
  if (!fix.is_object() || Text(fix, "class") != "TPV") return false;
  const std::string_view from = Text(fix, "device");
  if (from.empty() || (device[0] != '\0' && from != device)) return false;
  const auto mode = fix.find("mode");
  if (mode == fix.end() || !mode->is_number_integer() ||
      (*mode != 2 && *mode != 3) ||
      !Coordinate(fix, "lat", 90, found.latitude) ||
      !Coordinate(fix, "lon", 180, found.longitude) ||
      !ParseUtc(Text(fix, "time"), found.time_s) ||
      from.size() >= sizeof found.device) {
    return false;
  }
  memcpy(found.device, from.data(), from.size());
  found.device[from.size()] = '\0';
  return true;
}

}  // namespace

bool TakeTpv(std::string_view line, const char* device, GpsdFix& fix) {
  const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
  return !object.is_discarded() && ReadTpv(object, device, fix);
}

bool TakeCurrentFix(std::string_view line, const char* device, double now_s,
                    SnapshotReport& report) {
  const nlohmann::json poll = nlohmann::json::parse(line, nullptr, false);
  if (poll.is_discarded() || !poll.is_object() || Text(poll, "class") != "POLL") {
    return false;
  }
  const auto fixes = poll.find("tpv");
  if (fixes == poll.end() || !fixes->is_array()) return false;
  for (const nlohmann::json& each : *fixes) {
    GpsdFix fix;
    if (!ReadTpv(each, device, fix) ||
        !(std::fabs(now_s - fix.time_s) <= kCurrentFixMaxAgeS)) {
      continue;
    }
    report.current_fix = true;
    report.latitude = fix.latitude;
    report.longitude = fix.longitude;
    report.fix_age_s = std::max(0.0, now_s - fix.time_s);
    memcpy(report.fix_device, fix.device, sizeof report.fix_device);
    return true;
  }
  return false;
}

const char* ParseGpsdName(const char* name, GpsdAddress& address) {
  address = GpsdAddress();
  const std::string_view rest(name + strlen(kGpsdScheme));
  const size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  std::string_view device =
      slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  if (device == "/") device = {};
  std::string_view host = authority, port;
  bool has_port = false;
  if (authority.starts_with('[')) {
    // An IPv6 literal, bracketed as URIs write it so that its colons are
    // not taken for the port's.
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return kBracketsHint;
    host = authority.substr(1, close - 1);
    in6_addr literal;
    if (host.size() >= sizeof address.host) return kBracketsHint;
    memcpy(address.host, host.data(), host.size());
    if (inet_pton(AF_INET6, address.host, &literal) != 1) return kBracketsHint;
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(':')) return kBracketsHint;
    has_port = !after.empty();
    if (has_port) port = after.substr(1);
  } else if (const size_t colon = authority.find(':');
             colon != std::string_view::npos) {
    if (authority.find(':', colon + 1) != std::string_view::npos) {
      return "an IPv6 address needs brackets, as in gpsd://[::1]:2947";
    }
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    has_port = true;
  }
  unsigned number = 0;
  for (const char digit : port) {
    number = digit >= '0' && digit <= '9' && number <= 65535
                 ? number * 10 + (digit - '0')
                 : 65536;
  }
  if (has_port && (number < 1 || number > 65535)) {
    return "the port must be a number from 1 to 65535";
  }
  if (host.empty()) host = kGpsdDefaultHost;
  if (host.size() >= sizeof address.host) return "the host name is too long";
  if (device.size() >= sizeof address.device) return "the device path is too long";
  address = GpsdAddress();
  memcpy(address.host, host.data(), host.size());
  if (has_port) {
    snprintf(address.port, sizeof address.port, "%u", number);
  } else {
    snprintf(address.port, sizeof address.port, "%s", kGpsdDefaultPort);
  }
  if (!device.empty()) memcpy(address.device, device.data(), device.size());
  return nullptr;
}

ScopedFd ConnectToGpsd(const GpsdAddress& address, int64_t deadline,
                       SnapshotReport& report) {
  std::shared_ptr<Lookup> lookup;
  const int found = LookUp(address, deadline, lookup);
  int error = 0;
  ScopedFd connection;
  if (found == 0) {
    connection = Connect(lookup->list.first, deadline, error);
  } else if (found == kLookupTimedOut) {
    snprintf(report.problem, sizeof report.problem,
             "cannot look up gpsd's host %s: no answer from the resolver "
             "within %d s",
             address.host, kSnapshotWindowMs / 1000);
  } else if (found != kLookupInterrupted) {
    snprintf(report.problem, sizeof report.problem,
             "cannot look up gpsd's host %s: %s", address.host,
             found == EAI_SYSTEM ? strerror(lookup->error)
                                 : gai_strerror(found));
  }
  if (found == kLookupInterrupted || error == EINTR) {
    report.end = WindowEnd::kInterrupted;
  } else if (found != 0) {
    report.end = WindowEnd::kReadFailed;
  } else if (!connection) {
    report.end = WindowEnd::kOpenFailed;
    report.error = -error;
  }
  return connection;
}

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
  if (strcmp(report.problem, kSilentPeer) == 0) {
    snprintf(report.problem, sizeof report.problem,
             "gpsd at %s did not answer in %d s", where,
             kSnapshotWindowMs / 1000);
  } else if (strcmp(report.problem, kUnlisted) == 0) {
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

GpsdAnswer ConverseWithGpsd(int fd, NmeaBuffer& buffer, const char* device,
                            bool only_if_listed, int64_t listed_by,
                            int64_t deadline, SnapshotReport& report,
                            uint32_t& bytes) {
  Conversation conversation(buffer, device, only_if_listed, OnThisMachine(fd),
                            report);
  report.via_gpsd = true;
  report.end = WindowEnd::kTimeout;
  const size_t text_before = strnlen(buffer.text, kNmeaBufferSize - 1);
  conversation.Start(fd);
  std::string pending;
  char chunk[4096];
  bool going = report.end == WindowEnd::kTimeout;
  bool heard = false;
  bool overlong = false;  // the rest of a line over the bound is dropped
  const std::string what_overlong = "gpsd sent a line longer than " +
                                    std::to_string(kMaxGpsdLine) + " bytes";
  const char* overlong_line = what_overlong.c_str();
  while (going) {
    // The deadline holds however fast lines arrive: a readable socket is
    // not asked about once the time is up.
    const int remaining =
        RemainingMs(conversation.NotListed() ? listed_by : deadline);
    if (remaining == 0) break;
    const WaitResult wait = WaitReadable(fd, remaining);
    if (wait == WaitResult::kBreak) {
      report.end = WindowEnd::kInterrupted;
      break;
    }
    if (wait == WaitResult::kTimeout) break;
    const ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got <= 0) {
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      conversation.Problem("gpsd closed the connection");
      break;
    }
    heard = true;
    pending.append(chunk, got);
    size_t start = 0;
    if (overlong) {
      const size_t end = pending.find('\n');
      overlong = end == std::string::npos;
      pending.erase(0, overlong ? pending.size() : end + 1);
    }
    for (size_t end; going && (end = pending.find('\n', start)) !=
                                  std::string::npos;
         start = end + 1) {
      const std::string_view line =
          std::string_view(pending).substr(start, end - start);
      going = line.size() > kMaxGpsdLine ? conversation.Skip(line, overlong_line)
                                         : conversation.Line(line, fd);
    }
    pending.erase(0, start);
    if (going && pending.size() > kMaxGpsdLine) {
      going = conversation.Skip(pending, overlong_line);
      pending.clear();
      overlong = true;
    }
  }
  if (report.end == WindowEnd::kTimeout && !conversation.NotListed()) {
    conversation.Finish(heard);
  }
  bytes = conversation.bytes();
  // Only a listing that names the device says gpsd holds it; an error,
  // noise or silence says nothing of the kind.
  if (conversation.NotListed()) {
    // What a peer that is not gpsd's sent is not the tty's text.
    buffer.text[text_before] = '\0';
    bytes = 0;
    report.via_gpsd = false;
    return GpsdAnswer::kNotListed;
  }
  return GpsdAnswer::kServed;
}


bool IsGpsdName(const char* device) {
  // URI schemes are case-insensitive: GPSD:// is gpsd's name too.
  return device != nullptr &&
         strncasecmp(device, kGpsdScheme, strlen(kGpsdScheme)) == 0;
}
