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
    kHandedOver,   // still running after its wait: a generic xdg-open runs
                   // the application in the foreground
    kFailed,       // it ended otherwise; `why` says how
    kNotStarted,   // it could not be run; `why` says why (errno's text)
    kInterrupted,  // Ctrl-C during the wait
  };
  Kind kind = kFailed;
  // For kFailed: "exit 3" or "killed by signal 9", then ": " and the last
  // line of what it wrote on standard error (200 bytes at most), when it
  // wrote anything.
  std::string why;
  // For kFailed: all it wrote on standard error, the first 4 KiB of it.
  std::string error_output;
};

// How long xdg-open is waited for, at most.
inline constexpr int kOpenWaitMs = 1000;
// How much of xdg-open's standard error is kept.
inline constexpr size_t kKeptErrorOutput = 4096;

// Runs `xdg-open target` (found on PATH) and waits for its end until
// `deadline` (MonotonicMs), kOpenWaitMs at most. One still running then is
// left to run, and is collected when it ends.
OpenOutcome DesktopOpen(const std::string& target, int64_t deadline);

// Whether the desktop names a default application for `mime_type` (e.g.
// x-scheme-handler/geo): what `xdg-mime query default` prints, read until
// `deadline` at most. No answer in time, or Ctrl-C, counts as none; an
// xdg-mime still running then is killed with all it started.
bool DesktopHasHandler(const char* mime_type, int64_t deadline);

// Says on standard error, escaped, that xdg-open failed to open `target`,
// how, and all it wrote on standard error.
void WarnOpenFailed(const std::string& target, const OpenOutcome& outcome);

// Opens `url` in the user's browser through xdg-open; says on standard
// error when that failed, and what to do instead.
void OpenInBrowser(const std::string& url);
