#include "app/follow_run.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>

#include "app/explanations.h"
#include "app/goto_sender.h"
#include "app/position_run.h"
#include "gps/fix_stream.h"
#include "platform/break.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/wait.h"
#include "rexx/goto_command.h"

namespace {

// Puts the time before the explanations that follow it ("navbeacon:
// 14:03:07 ..."), for a log read long after; the plain prefix comes back
// at the end of the run.
class TimedWarnings {
 public:
  ~TimedWarnings() { SetWarnPrefix("navbeacon: "); }
  void Stamp() {
    const time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    strftime(prefix_, sizeof prefix_, "navbeacon: %H:%M:%S ", &local);
    SetWarnPrefix(prefix_);
  }

 private:
  char prefix_[40] = "navbeacon: ";
};

// The most fixes taken before the loop looks at the gotos again.
constexpr int kFixesPerRound = 1000;

// What has been said of the map application and of the source, so that
// each change is said once.
enum class MapState { kTaking, kAbsent, kFailing };
// kBack: open again after it went away, and not yet said to be back,
// which it is once it gives a fix.
enum class SourceState { kReading, kNoFix, kGone, kBack };

class Follower {
 public:
  Follower(const CommandArgs& args, int interval_ms, RunServices& services,
           const SupportedReceiver* receiver)
      : interval_ms_(interval_ms),
        services_(services),
        receiver_(receiver),
        stream_(args.device, AsciiToInt(args.unit),
                static_cast<uint32_t>(AsciiToInt(args.baudrate)),
                args.verbose),
        sender_(args.zoom != nullptr ? *args.zoom : kDefaultZoom,
                args.position) {}

  ExitStatus Run();

 private:
  bool ThroughGpsd() const {
    return stream_.kind() == SourceKind::kGpsd || stream_.via_gpsd();
  }
  void SayGone();
  void Lost();
  bool Reopen();
  bool Drain();
  void TakeResult();
  int WaitMs() const;

  const int interval_ms_;
  RunServices& services_;
  const SupportedReceiver* receiver_;
  FixStream stream_;
  GotoSender sender_;
  TimedWarnings warnings_;
  MapState map_ = MapState::kTaking;
  Exchange failure_ = Exchange::kOk;  // the failure last said
  int32_t failure_code_ = 0;
  SourceState source_ = SourceState::kReading;
  std::optional<StreamFix> pending_;  // the newest fix not yet sent
  bool pending_printed_ = false;      // it is one tried again
  StreamFix in_flight_;
  bool ended_ = false;
  bool any_fix_ = false;
  bool interrupted_ = false;
  ExitStatus last_ = ExitStatus::kMapCentred;
  int64_t gate_ = 0;       // no goto is sent before
  int64_t retry_at_ = 0;   // nor, after a missing port, before
  int64_t reopen_at_ = 0;  // the source is tried again
  int64_t last_fix_at_ = 0;
  bool fix_since_open_ = false;
  bool said_gone_ = false;      // went away (or unusable), not yet back
  int reopen_ms_ = kReopenTtyMs;  // doubles while it gives nothing
};

void Follower::SayGone() {
  source_ = SourceState::kGone;
  if (said_gone_) return;
  said_gone_ = true;
  warnings_.Stamp();
  if (ThroughGpsd()) {
    Warnf("gpsd at %s went away; trying again every %d s\n",
          stream_.kind() == SourceKind::kGpsd ? stream_.name()
                                              : "localhost:2947",
          kReconnectGpsdMs / 1000);
  } else {
    Warnf("%s went away (unplugged?); waiting for it to come back\n",
          stream_.name());
  }
}

// The source ended under the run. A device that ends with no fix since it
// was opened (a link to /dev/null or to a file, a failing receiver) is
// not back until it gives one, and is tried less and less often; one
// still there that gave no text at all is said to be of no use, once.
void Follower::Lost() {
  stream_.Close();
  const bool no_fix = !ThroughGpsd() && !fix_since_open_;
  struct stat info;
  if (no_fix && !stream_.heard() &&
      services_.StatPath(stream_.name(), false, info) == 0) {
    if (!said_gone_) {
      warnings_.Stamp();
      Warnf("%s is there but ends as soon as it is opened, with no fix; "
            "trying it again, at most every %d s\n",
            stream_.name(), kMaxReopenTtyMs / 1000);
    }
    said_gone_ = true;
    source_ = SourceState::kGone;
  } else {
    SayGone();
  }
  reopen_ms_ = no_fix ? std::min(reopen_ms_ * 2, kMaxReopenTtyMs) : kReopenTtyMs;
  reopen_at_ = MonotonicMs() + (ThroughGpsd() ? kReconnectGpsdMs : reopen_ms_);
}

// Tries the source again; true when it is open.
bool Follower::Reopen() {
  const bool gpsd = ThroughGpsd();
  if (!stream_.Open()) {
    if (stream_.report().end == WindowEnd::kInterrupted) interrupted_ = true;
    reopen_at_ = MonotonicMs() + (gpsd ? kReconnectGpsdMs : reopen_ms_);
    return false;
  }
  fix_since_open_ = false;
  last_fix_at_ = MonotonicMs();
  if (source_ == SourceState::kGone && ThroughGpsd()) {
    warnings_.Stamp();
    Warnf("gpsd answers again; following %s\n", stream_.name());
    said_gone_ = false;
  } else if (source_ == SourceState::kGone) {
    source_ = SourceState::kBack;
    return true;
  }
  source_ = SourceState::kReading;
  return true;
}

// Takes the fixes that have arrived, or a batch of them from a source
// that floods, so that the gotos go on; false on Ctrl-C.
bool Follower::Drain() {
  StreamFix fix;
  for (int taken = 0; taken < kFixesPerRound; ++taken) {
    switch (stream_.Next(fix)) {
      case StreamEvent::kFix:
        if (source_ == SourceState::kNoFix) {
          warnings_.Stamp();
          Warnf("fixes from %s again\n", stream_.name());
        } else if (source_ == SourceState::kBack) {
          warnings_.Stamp();
          Warnf("%s is back; following it again\n", stream_.name());
        }
        source_ = SourceState::kReading;
        said_gone_ = false;
        fix_since_open_ = true;
        reopen_ms_ = kReopenTtyMs;
        pending_ = fix;
        pending_printed_ = false;
        any_fix_ = true;
        last_fix_at_ = MonotonicMs();
        break;
      case StreamEvent::kNothing:
        FlushStandardOutput();
        return true;
      case StreamEvent::kEnded:
        ended_ = true;
        stream_.Close();
        return true;
      case StreamEvent::kLost:
        Lost();
        return true;
      case StreamEvent::kInterrupted:
        return false;
    }
  }
  return true;
}

void Follower::TakeResult() {
  std::optional<GotoResult> result = sender_.TakeResult();
  if (!result) return;
  switch (result->outcome) {
    case GotoOutcome::kSent:
      if (map_ != MapState::kTaking) {
        warnings_.Stamp();
        Warnf("the map application takes the gotos again\n");
      }
      map_ = MapState::kTaking;
      last_ = ExitStatus::kMapCentred;
      return;
    case GotoOutcome::kNoPort:
      if (map_ != MapState::kAbsent) {
        warnings_.Stamp();
        ExplainMissingPort(result->absence, services_);
      }
      map_ = MapState::kAbsent;
      last_ = ExitStatus::kNoMapPort;
      // The position goes to the map application as soon as it is there,
      // unless a newer one has come or the recording has moved on.
      if (!pending_ && stream_.kind() != SourceKind::kRecording && !ended_) {
        pending_ = in_flight_;
        pending_printed_ = true;
      }
      retry_at_ = MonotonicMs() + kRetryMapMs;
      return;
    case GotoOutcome::kInterrupted:
      interrupted_ = true;
      return;
    case GotoOutcome::kFailed:
      break;
  }
  if (map_ != MapState::kFailing || failure_ != result->reply.exchange ||
      failure_code_ != result->reply.result1) {
    warnings_.Stamp();
    ExplainFailedGoto(result->reply);
  }
  map_ = MapState::kFailing;
  failure_ = result->reply.exchange;
  failure_code_ = result->reply.result1;
  last_ = ExitStatus::kMapExchangeFailed;
}

// How long the loop may sleep before something is due.
int Follower::WaitMs() const {
  int64_t due = MonotonicMs() + 60000;
  if (!stream_.is_open() && !ended_) due = std::min(due, reopen_at_);
  const int64_t quiet_until = stream_.QuietUntilMs();
  if (quiet_until > MonotonicMs()) due = std::min(due, quiet_until);
  if (stream_.is_open() &&
      (source_ == SourceState::kReading || source_ == SourceState::kBack) &&
      stream_.kind() != SourceKind::kRecording) {
    due = std::min(due, last_fix_at_ + kNoFixMs);
  }
  const bool recording = stream_.kind() == SourceKind::kRecording;
  if ((pending_ || (recording && !ended_)) && !sender_.busy()) {
    due = std::min(due, std::max(gate_, retry_at_));
  }
  return RemainingMs(due);
}

ExitStatus Follower::Run() {
  const bool recording = stream_.kind() == SourceKind::kRecording;
  if (sender_.error() != 0) {
    Warnf("cannot wait for the map application's replies: %s\n",
          FailureText(sender_.error()));
    return ExitStatus::kStartupFailed;
  }
  if (!Reopen()) {
    const SnapshotReport& report = stream_.report();
    if (interrupted_) return ExitStatus::kInterrupted;
    // A receiver not plugged in yet, or gpsd not started yet, is waited
    // for; a file that cannot be read is not.
    if (!ThroughGpsd() && !(stream_.kind() == SourceKind::kTty &&
                            report.error == -ENOENT)) {
      if (!Print("GPS Reciver recive damaged data!\n")) {
        return ExitStatus::kInterrupted;
      }
      ExplainOpenFailure(report, receiver_, services_);
      return ExitStatus::kDamagedData;
    }
    warnings_.Stamp();
    if (ThroughGpsd()) {
      if (report.problem[0] != '\0') {
        Warnf("%s; trying again every %d s\n", report.problem,
              kReconnectGpsdMs / 1000);
      } else {
        Warnf("cannot reach gpsd at %s: %s; trying again every %d s\n",
              stream_.name(), FailureText(report.error), kReconnectGpsdMs / 1000);
      }
    } else {
      Warnf("%s is not there; waiting for it\n", report.path);
    }
    source_ = SourceState::kGone;
  }
  // The gpsd ahead of the tty, when it holds it, is said once.
  if (stream_.via_gpsd()) {
    warnings_.Stamp();
    Warnf("gpsd holds %s; the receiver's fixes come through gpsd\n",
          stream_.name());
  }
  while (!interrupted_) {
    const int64_t now = MonotonicMs();
    if (!stream_.is_open() && !ended_ && now >= reopen_at_ && Reopen()) {
      continue;
    }
    if (recording && stream_.is_open() && !sender_.busy() && now >= gate_) {
      StreamFix fix;
      switch (stream_.Next(fix)) {
        case StreamEvent::kFix:
          pending_ = fix;
          pending_printed_ = false;
          any_fix_ = true;
          break;
        case StreamEvent::kInterrupted:
          return ExitStatus::kInterrupted;
        default:
          ended_ = true;
          stream_.Close();
      }
    } else if (!recording && stream_.is_open() && !Drain()) {
      return ExitStatus::kInterrupted;
    }
    if (!recording && stream_.is_open() &&
        (source_ == SourceState::kReading || source_ == SourceState::kBack) &&
        now - last_fix_at_ >= kNoFixMs) {
      warnings_.Stamp();
      if (source_ == SourceState::kBack) {
        Warnf("%s is back, but no fix from it in %d s; waiting for one\n",
              stream_.name(), kNoFixMs / 1000);
      } else if (stream_.kind() == SourceKind::kPipe && !stream_.heard()) {
        Warnf("nothing from %s in %d s: no program has opened it for "
              "writing; waiting for one\n",
              stream_.name(), kNoFixMs / 1000);
      } else {
        Warnf("no new fix from %s in %d s; waiting for one\n",
              stream_.name(), kNoFixMs / 1000);
      }
      source_ = SourceState::kNoFix;
      said_gone_ = false;
      reopen_ms_ = kReopenTtyMs;
    }
    if (pending_ && !sender_.busy() && now >= gate_ && now >= retry_at_) {
      in_flight_ = *pending_;
      pending_.reset();
      sender_.Send(in_flight_, !pending_printed_);
      // A receiver's cycle jitters: a fix is held back only when it comes
      // well within the interval of the last one sent.
      gate_ = now + (recording ? interval_ms_ : interval_ms_ * 19 / 20);
    }
    if (ended_ && !pending_ && !sender_.busy()) break;
    pollfd watched[3] = {{sender_.fd(), POLLIN, 0},
                         {BreakFd(), POLLIN, 0},
                         {recording || stream_.QuietUntilMs() > MonotonicMs()
                              ? -1
                              : stream_.fd(),
                          POLLIN, 0}};
    if (BreakRequested()) return ExitStatus::kInterrupted;
    if (poll(watched, 3, WaitMs()) < 0) {
      if (const int error = NegativeErrno(); error != -EINTR) {
        Warnf("cannot wait for the receiver: %s\n", FailureText(error));
        return ExitStatus::kInterrupted;
      }
    }
    if (BreakRequested()) return ExitStatus::kInterrupted;
    if (watched[0].revents != 0) TakeResult();
  }
  if (interrupted_) return ExitStatus::kInterrupted;
  if (!any_fix_) {
    if (!Print("GPS Reciver recive damaged data!\n")) {
      return ExitStatus::kInterrupted;
    }
    Warnf("no fix arrived from %s before its input ended\n", stream_.name());
    return ExitStatus::kDamagedData;
  }
  // The standard output of a run that ends as a one-shot run would.
  if (last_ == ExitStatus::kNoMapPort && !PrintNoMapPort()) {
    return ExitStatus::kInterrupted;
  }
  return last_;
}

}  // namespace

ExitStatus RunFollow(const CommandArgs& args, int interval_ms,
                     RunServices& services) {
  const SupportedReceiver* receiver = nullptr;
  bool on_bus = false;
  if (const ExitStatus checked =
          CheckBeforeReading(args, services, receiver, on_bus, nullptr, true);
      checked != ExitStatus::kSuccess) {
    return checked;
  }
  // The follower's buffers (a line of gpsd's, the tty's) are large: they
  // live on the heap, not on the caller's stack.
  auto follower =
      std::make_unique<Follower>(args, interval_ms, services, receiver);
  return follower->Run();
}
