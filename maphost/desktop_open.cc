#include "maphost/desktop_open.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/break.h"
#include "platform/console.h"
#include "platform/scoped_fd.h"
#include "platform/wait.h"

extern char** environ;

namespace {

// A program started by Spawn: its pid, and a pidfd that becomes readable
// when it ends.
struct Started {
  pid_t pid = -1;
  ScopedFd end;
};

// Starts `argv` found on PATH with `actions` on its descriptors, in a
// process group of its own (so that it can be killed with all it starts),
// with every signal at its default action (the host ignores SIGPIPE) and
// none blocked. errno tells why it could not be started.
bool Spawn(const char* const argv[], const posix_spawn_file_actions_t* actions,
           Started& child) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                            POSIX_SPAWN_SETPGROUP);
  const int error = posix_spawnp(&child.pid, argv[0], actions, &attributes,
                                 const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    errno = error;
    return false;
  }
  // (Debian 12's <sys/pidfd.h> declares pidfd_open without C linkage.)
  child.end = ScopedFd(static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0)));
  return true;
}

// Waits for the child's end until `deadline`; its wait status, or -1 when
// it is still running (or Ctrl-C came first).
int WaitEnd(const Started& child, int64_t deadline) {
  int status;
  if (child.end && WaitReadable(child.end.get(), RemainingMs(deadline)) != WaitResult::kReady) {
    return -1;
  }
  // Without a pidfd (no room for one), a last look.
  return waitpid(child.pid, &status, child.end ? 0 : WNOHANG) == child.pid ? status : -1;
}

// Kills the child and everything it started, and collects it.
void KillGroup(const Started& child) {
  kill(-child.pid, SIGKILL);
  waitpid(child.pid, nullptr, 0);
}

// Collects a child left running when it ends, on a thread of its own that
// only waits; without a thread, at the next call.
void CollectLater(pid_t pid) {
  static std::mutex mutex;
  static std::vector<pid_t> left;
  std::lock_guard<std::mutex> lock(mutex);
  std::erase_if(left, [](pid_t child) { return waitpid(child, nullptr, WNOHANG) != 0; });
  try {
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  } catch (const std::system_error&) {
    left.push_back(pid);
  }
}

// A file for a child's standard error that holds its first
// kKeptErrorOutput bytes and takes no more (a write past them fails, and
// never raises SIGPIPE as a pipe nobody reads would); zeros after the text.
ScopedFd ErrorOutputFile() {
  ScopedFd file(memfd_create("xdg-open-stderr", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!file || ftruncate(file.get(), kKeptErrorOutput) != 0 ||
      fcntl(file.get(), F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
    return ScopedFd();
  }
  return file;
}

std::string ReadErrorOutput(int file) {
  char text[kKeptErrorOutput];
  const ssize_t got = file >= 0 ? pread(file, text, sizeof text, 0) : -1;
  if (got <= 0) return "";
  return std::string(text, strnlen(text, static_cast<size_t>(got)));
}

// "exit 3" or "killed by signal 9", then the last line of `output`, which
// is where a shell script's failure is told, its first kWhyLength bytes.
constexpr size_t kWhyLength = 200;
std::string Failure(int status, const std::string& output) {
  std::string why = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                      : "killed by signal " + std::to_string(WTERMSIG(status));
  const size_t end = output.find_last_not_of(" \t\r\n");
  if (end != std::string::npos) {
    const size_t start = output.find_last_of('\n', end);
    why += ": " + output.substr(start == std::string::npos ? 0 : start + 1,
                                std::min<size_t>(kWhyLength, start == std::string::npos
                                                                 ? end + 1 : end - start));
  }
  return why;
}

}  // namespace

OpenOutcome DesktopOpen(const std::string& target, int64_t deadline) {
  OpenOutcome outcome;
  ScopedFd errors = ErrorOutputFile();
  const char* const open[] = {"xdg-open", target.c_str(), nullptr};
  // What the opener or the program it starts writes on standard output is
  // not the host's to print, and must not hold the host's output open.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (errors) {
    posix_spawn_file_actions_adddup2(&actions, errors.get(), STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  Started child;
  const bool started = Spawn(open, &actions, child);
  posix_spawn_file_actions_destroy(&actions);
  if (!started) {
    outcome.kind = OpenOutcome::kNotStarted;
    outcome.why = strerror(errno);
    return outcome;
  }
  const int status = WaitEnd(child, std::min(deadline, MonotonicMs() + kOpenWaitMs));
  if (status < 0) {
    CollectLater(child.pid);
    outcome.kind = BreakRequested() ? OpenOutcome::kInterrupted : OpenOutcome::kHandedOver;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    outcome.kind = OpenOutcome::kOpened;
  } else {
    outcome.error_output = ReadErrorOutput(errors.get());
    outcome.why = Failure(status, outcome.error_output);
  }
  return outcome;
}

bool DesktopHasHandler(const char* mime_type, int64_t deadline) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  ScopedFd from_child(ends[0]), to_host(ends[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, to_host.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const char* const query[] = {"xdg-mime", "query", "default", mime_type, nullptr};
  Started child;
  const bool started = Spawn(query, &actions, child);
  posix_spawn_file_actions_destroy(&actions);
  if (!started) return false;
  to_host = ScopedFd();  // so that the child's end is the only writer
  char answer[256];
  size_t got = 0;
  while (got < sizeof answer &&
         WaitReadable(from_child.get(), RemainingMs(deadline)) == WaitResult::kReady) {
    const ssize_t part = read(from_child.get(), answer + got, sizeof answer - got);
    if (part <= 0) break;
    got += part;
  }
  // Closing its output comes just before its end; one still running at the
  // deadline is not going to give an answer.
  const int status = WaitEnd(child, deadline);
  if (status < 0) {
    KillGroup(child);
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got > 0 && answer[0] != '\n';
}

void OpenInBrowser(const std::string& url) {
  const OpenOutcome outcome = DesktopOpen(url, MonotonicMs() + kOpenWaitMs);
  if (outcome.kind == OpenOutcome::kNotStarted) {
    Warnf("cannot start xdg-open (xdg-utils); open %s in your browser\n", url.c_str());
  } else if (outcome.kind == OpenOutcome::kFailed) {
    WarnOpenFailed(url, outcome);
    Warnf("open %s in your browser\n", url.c_str());
  }
}

void WarnOpenFailed(const std::string& target, const OpenOutcome& outcome) {
  Warnf("xdg-open %s failed (%s)\n", target.c_str(), outcome.why.c_str());
  const std::string& output = outcome.error_output;
  const size_t end = output.find_last_not_of(" \t\r\n");
  if (end != std::string::npos) {
    Warnf("xdg-open's standard error: %s\n", output.substr(0, end + 1).c_str());
  }
}
