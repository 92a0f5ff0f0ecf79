#include "gps/gpsd_conversation.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "gps/gpsd_fix.h"
#include "platform/wait.h"

namespace {

// How much of a line passed over the explanation quotes.
constexpr size_t kQuotedLine = 60;

// How much of a line passed over VERBOSE shows.
constexpr size_t kShownSkippedLine = 160;

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
    const std::string_view kind = GpsdText(object, "class");
    if (kind == "VERSION") report_.gpsd_greeted = true;
    if (kind == "ERROR") {
      const std::string_view message = GpsdText(object, "message");
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
          const std::string path(device.is_object() ? GpsdText(device, "path") : "");
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
      snprintf(report_.problem, sizeof report_.problem, "%s", kGpsdSilent);
    } else if (!skipped_.empty() && sentences_ == 0) {
      snprintf(report_.problem, sizeof report_.problem, "%s", skipped_.c_str());
    } else if (listing_) {
      snprintf(report_.problem, sizeof report_.problem, "%s", kGpsdUnlisted);
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

}  // namespace

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
    const int wait = WaitReadable(fd, remaining);
    if (wait == kWaitBreak) {
      report.end = WindowEnd::kInterrupted;
      break;
    }
    if (wait == kWaitTimedOut) break;
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
