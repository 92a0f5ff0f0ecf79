// Handing things to the user's desktop: asking xdg-mime which program
// handles a kind of link, and opening a link with xdg-open. Every program
// started here begins in a process group of its own, with every signal at
// its default and none blocked, its output off the host's, and is waited
// for: none is left a zombie.
#pragma once

#include <cstdint>
#include <string>

// How a run of xdg-open went.
struct OpenOutcome {
  enum Kind {
    kOpened,       // it ended with status 0
    kHandedOver,   // still running after its whole wait: a generic
                   // xdg-open runs the application in the foreground
    kUnfinished,   // still running when the deadline cut its wait short:
                   // whether it will open anything is not known
    kFailed,       // it ended otherwise; `why` says how
    kNotStarted,   // it could not be run; `why` says why (errno's text)
    kOutOfTime,    // not started: the deadline had passed
    kBusy,         // not started: kMaxOpenersRunning earlier ones still run
    kInterrupted,  // Ctrl-C during the wait
  };
  Kind kind = kFailed;
  // For kFailed: "exit 3" or "killed by signal 9", then ": " and the last
  // non-empty line of what it wrote on standard error (200 bytes at most),
  // when it wrote anything.
  std::string why;
  // For kFailed: what it wrote on standard error, the last 4 KiB of it.
  std::string error_output;
};

// How long xdg-open is waited for, at most.
inline constexpr int kOpenWaitMs = 1000;
// How much of xdg-open's standard error is kept: its end, where a failure
// is told.
inline constexpr size_t kKeptErrorOutput = 4096;
// xdg-open runs still going after their wait, at most: past it, no other
// is started.
inline constexpr size_t kMaxOpenersRunning = 3;

// Runs `xdg-open target` (found on PATH) and waits for its end until
// `deadline` (MonotonicMs), kOpenWaitMs at most; not started when the
// deadline has passed or kMaxOpenersRunning are still running. Its
// standard error is a pipe the host reads during the wait, keeping the
// last kKeptErrorOutput bytes; after it, a `cat` of its own reads and
// discards the rest until every writer is gone, so that neither xdg-open
// nor the application it starts fails or blocks writing there, and
// nothing grows. One still running after its wait is left to run, and is
// collected when it ends.
OpenOutcome DesktopOpen(const std::string& target, int64_t deadline);

// The xdg-open runs still going after their wait.
size_t OpenersRunning();

// Says on standard error which xdg-open runs are still going, left to run
// as the host ends: a generic xdg-open runs the user's map application in
// the foreground, which is the user's to close.
void TellOpenersLeftRunning();

// Whether `program` is an executable file in a directory of PATH.
bool OnPath(const char* program);

// What the desktop said of its default application for a kind of link.
struct HandlerQuery {
  enum Kind {
    kFound,        // xdg-mime named one
    kNone,         // xdg-mime ended well and named none
    kFailed,       // xdg-mime failed; `why` says how
    kInterrupted,  // Ctrl-C
  };
  Kind kind = kFailed;
  std::string why;  // "exit 4", "no answer within 2 s", ...
};

// Asks `xdg-mime query default mime_type` (e.g. x-scheme-handler/geo)
// until `deadline`: its answer once it has ended. What it started is
// killed when it ends, and it with them when it has not ended in time.
HandlerQuery QueryHandler(const char* mime_type, int64_t deadline);

// Says on standard error, escaped, a line at a time, what xdg-open wrote
// on standard error when it failed to open `target`.
void ShowOpenerOutput(const std::string& target, const OpenOutcome& outcome);

// Opens `url` in the user's browser through xdg-open; says on standard
// error when that failed, and what to do instead.
void OpenInBrowser(const std::string& url);
