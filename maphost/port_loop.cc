#include "maphost/port_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "maphost/bridge_worker.h"
#include "platform/break.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/wait.h"
#include "rexx/goto_text.h"

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

// A connection whose request has not come yet.
struct Waiting {
  ScopedFd connection;
  int64_t accepted_at;  // MonotonicMs
};

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
  PortLoop(HostPort& port, const PortLoopOptions& options, MapBridges& bridges);
  void Run();

 private:
  // A goto on its way through the bridges.
  struct Job {
    HostMsg message;
    MapGoto where;
    int64_t arrived_at;  // MonotonicMs
    size_t next = 0;     // the bridge it is at
  };

  bool Done() const {
    return BreakRequested() || (options_.count >= 0 && taken_ >= options_.count);
  }
  void Accept();
  bool MakeRoom();
  bool Take(Waiting& client);
  void Answer(HostMsg& message);
  void Advance(uint64_t id);
  void TakeShown(BridgeWorker& worker);
  void Finish(HostMsg& message, const BridgeReply& outcome);

  HostPort& port_;
  const PortLoopOptions& options_;
  MapBridges& bridges_;
  // The thread of each slow bridge; null for the others.
  std::vector<std::unique_ptr<BridgeWorker>> workers_;
  std::deque<Waiting> waiting_;  // oldest first
  std::deque<HostMsg> held_;     // --no-reply: taken, never answered
  std::map<uint64_t, Job> jobs_;
  uint64_t last_id_ = 0;
  long taken_ = 0;
  int64_t paused_until_ = 0;
  bool told_no_descriptor_ = false;
};

PortLoop::PortLoop(HostPort& port, const PortLoopOptions& options, MapBridges& bridges)
    : port_(port), options_(options), bridges_(bridges) {
  for (const std::unique_ptr<MapBridge>& bridge : bridges_) {
    auto* slow = dynamic_cast<SlowBridge*>(bridge.get());
    workers_.push_back(slow != nullptr ? std::make_unique<BridgeWorker>(*slow) : nullptr);
  }
}

void PortLoop::Run() {
  // Accepting must never block the loop: a client may give up between
  // poll() and accept().
  fcntl(port_.fd(), F_SETFL, fcntl(port_.fd(), F_GETFL) | O_NONBLOCK);
  std::vector<pollfd> watched;
  // Once done taking commands, the gotos still with a bridge are seen
  // through: their deadlines bound them, and Ctrl-C ends them sooner.
  for (bool taking; (taking = !Done()) || !jobs_.empty();) {
    const int64_t now = MonotonicMs();
    const bool accepting = taking && now >= paused_until_;
    watched.assign({{taking ? BreakFd() : -1, POLLIN, 0},
                    {accepting ? port_.fd() : -1, POLLIN, 0}});
    for (const std::unique_ptr<BridgeWorker>& worker : workers_) {
      watched.push_back({worker ? worker->fd() : -1, POLLIN, 0});
    }
    const size_t clients = watched.size();
    for (const Waiting& client : waiting_) {
      watched.push_back({taking ? client.connection.get() : -1, POLLIN, 0});
    }
    // The oldest connection is the first to fall silent for too long.
    int64_t wake = waiting_.empty() || !taking ? -1 : waiting_.front().accepted_at + kSilenceMs;
    if (taking && !accepting && (wake < 0 || paused_until_ < wake)) wake = paused_until_;
    if (poll(watched.data(), watched.size(), wake < 0 ? -1 : RemainingMs(wake)) < 0 &&
        errno != EINTR) {
      Warnf("cannot wait for clients: %s\n", FailureText(NegativeErrno()));
      return;
    }
    for (size_t i = 0; i < workers_.size(); ++i) {
      if (watched[2 + i].revents != 0) TakeShown(*workers_[i]);
    }
    if (!taking) continue;
    // Requests that are in first (no more than --count allows), then the
    // connections that have expired.
    std::deque<Waiting> still;
    for (size_t i = 0; i < waiting_.size(); ++i) {
      Waiting& client = waiting_[i];
      const bool keep = watched[clients + i].revents != 0 && !Done()
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
    const bool full = waiting_.size() + held_.size() + jobs_.size() >= kMaxConnections;
    ScopedFd connection;
    int error = 0;
    if (!full) {
      connection = ScopedFd(accept4(port_.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!connection) error = NegativeErrno();
    }
    if (full || error != 0) {
      if (!full && error != -EMFILE && error != -ENFILE && error != -ENOBUFS &&
          error != -ENOMEM) {
        return;  // none left (EAGAIN), or one that gave up
      }
      if (MakeRoom()) continue;
      if (!full && !told_no_descriptor_) {
        Warnf("cannot take a client: %s; waiting for descriptors to free up "
              "(ulimit -n raises the limit)\n", FailureText(error));
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
// it; false when the connection is done with (answered or handed to the
// bridges, closed by the client, malformed).
bool PortLoop::Take(Waiting& client) {
  HostMsg message;
  const Request request = ReceiveRequest(client.connection.get(), message.message);
  if (request != Request::kRead) return request == Request::kNotYet;
  message.connection = std::move(client.connection);
  Answer(message);
  return false;
}

// Prints the command, and answers it at once unless it is a sound goto,
// which goes to the bridges.
void PortLoop::Answer(HostMsg& message) {
  const int64_t arrived_at = MonotonicMs();
  ++taken_;
  const std::string& command = message.message.args[0];
  PrintTime();
  PrintEscaped(command, false);
  printf("\n");
  if (options_.fields) ShowFields(message.message);
  MapGoto where;
  BridgeReply outcome;
  if (IsGoto(command) && ParseGoto(command, where, outcome.text) < 0) {
    Warnf("refused a goto: %s\n", outcome.text.c_str());
    outcome.code = kGotoRefused;
  } else if (IsGoto(command)) {
    printf("  map: %s\n", OpenStreetMapLink(where).c_str());
    const uint64_t id = ++last_id_;
    jobs_.emplace(id, Job{std::move(message), where, arrived_at});
    Advance(id);
    return;
  }
  fflush(stdout);
  Finish(message, outcome);
}

// Hands the goto to the bridges from the one it is at, until one fails,
// one that runs on a thread of its own takes it, or all have shown it.
void PortLoop::Advance(uint64_t id) {
  Job& job = jobs_.at(id);
  BridgeReply outcome;
  for (; job.next < bridges_.size(); ++job.next) {
    if (BridgeWorker* worker = workers_[job.next].get()) {
      const auto* slow = static_cast<const SlowBridge*>(bridges_[job.next].get());
      const std::optional<uint64_t> replaced =
          worker->Submit(id, job.where, job.arrived_at + slow->BoundMs());
      if (replaced) {
        Job& older = jobs_.at(*replaced);
        Warnf("the goto to %.6f %.6f was superseded by a newer one before it was shown\n",
              older.where.latitude, older.where.longitude);
        Finish(older.message, {kGotoSuperseded, "superseded by a newer goto"});
        jobs_.erase(*replaced);
      }
      return;
    }
    outcome = bridges_[job.next]->Show(job.where);
    if (outcome.code != 0) break;
  }
  if (outcome.code != 0) Warnf("the goto was not shown: %s\n", outcome.text.c_str());
  fflush(stdout);
  Finish(job.message, outcome);
  jobs_.erase(id);
}

// Takes the gotos a slow bridge has shown on to the next bridge, or
// answers them.
void PortLoop::TakeShown(BridgeWorker& worker) {
  for (auto& [id, outcome] : worker.TakeShown()) {
    const auto job = jobs_.find(id);
    if (job == jobs_.end()) continue;
    if (outcome.code == 0) {
      ++job->second.next;
      Advance(id);
      continue;
    }
    Warnf("the goto was not shown: %s\n", outcome.text.c_str());
    fflush(stdout);
    Finish(job->second.message, outcome);
    jobs_.erase(job);
  }
}

void PortLoop::Finish(HostMsg& message, const BridgeReply& outcome) {
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

}  // namespace

void RunPortLoop(HostPort& port, const PortLoopOptions& options,
                 MapBridges& bridges) {
  PortLoop(port, options, bridges).Run();
}
