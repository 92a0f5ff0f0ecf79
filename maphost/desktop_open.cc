#include "maphost/desktop_open.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
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

// The xdg-open runs left running after their wait, each collected when it
// ends by a thread that only waits for it, or, with no thread to be had,
// looked for at the next count.
struct Opener {
  pid_t pid;
  bool waited;  // by a thread of its own
};
std::mutex openers_mutex;
std::vector<Opener>& Openers() {
  static std::vector<Opener> openers;
  return openers;
}

void LeaveRunning(pid_t pid) {
  std::lock_guard<std::mutex> lock(openers_mutex);
  bool waited = true;
  try {
    std::thread([pid] {
      waitpid(pid, nullptr, 0);
      std::lock_guard<std::mutex> collected(openers_mutex);
      std::erase_if(Openers(), [pid](const Opener& opener) { return opener.pid == pid; });
    }).detach();
  } catch (const std::system_error&) {
    waited = false;
  }
  Openers().push_back({pid, waited});
}

// Appends what can be read from `from` now to `tail`, keeping its last
// kKeptErrorOutput bytes; false once every writer has closed its end.
bool ReadTail(int from, std::string& tail) {
  char buffer[16384];
  for (;;) {
    const ssize_t got = read(from, buffer, sizeof buffer);
    if (got == 0) return false;
    if (got < 0) return errno == EINTR || errno == EAGAIN;
    tail.append(buffer, static_cast<size_t>(got));
    if (tail.size() > kKeptErrorOutput) tail.erase(0, tail.size() - kKeptErrorOutput);
  }
}

// Gives the read end of the opener's standard error to a `cat` that
// discards all that comes until every writer has gone: the opener and the
// application it started never block or get SIGPIPE writing there, and
// nothing of it is kept. The cat is collected when it ends.
void HandToDrainer(ScopedFd from) {
  const int flags = fcntl(from.get(), F_GETFL);
  if (flags >= 0) fcntl(from.get(), F_SETFL, flags & ~O_NONBLOCK);  // cat reads blocking
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, from.get(), STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const char* const cat[] = {"cat", nullptr};
  Started drainer;
  const bool started = Spawn(cat, &actions, drainer);
  posix_spawn_file_actions_destroy(&actions);
  if (!started) return;  // writers then get EPIPE: nothing better is left
  const pid_t pid = drainer.pid;
  try {
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  } catch (const std::system_error&) {
    // No thread: it stays a zombie until the host ends.
  }
}

// The last line of `output` with anything but blanks, kWhyLength bytes of
// it at most: where a shell script's failure is told.
constexpr size_t kWhyLength = 200;
std::string LastLine(const std::string& output) {
  const size_t end = output.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return "";
  const size_t start = output.find_last_of('\n', end);
  const size_t from = start == std::string::npos ? 0 : start + 1;
  return output.substr(from, std::min(kWhyLength, end + 1 - from));
}

// "exit 3" or "killed by signal 9".
std::string EndOf(int status) {
  return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                           : "killed by signal " + std::to_string(WTERMSIG(status));
}

}  // namespace

OpenOutcome DesktopOpen(const std::string& target, int64_t deadline) {
  OpenOutcome outcome;
  if (RemainingMs(deadline) == 0) {
    outcome.kind = OpenOutcome::kOutOfTime;
    return outcome;
  }
  if (OpenersRunning() >= kMaxOpenersRunning) {
    outcome.kind = OpenOutcome::kBusy;
    return outcome;
  }
  // Standard error is a pipe the host reads during the wait, keeping its
  // end, and a drainer reads after it.
  int ends[2];
  ScopedFd errors, errors_in;
  if (pipe2(ends, O_CLOEXEC) == 0) {
    errors = ScopedFd(ends[0]);
    errors_in = ScopedFd(ends[1]);
    fcntl(errors.get(), F_SETFL, fcntl(errors.get(), F_GETFL) | O_NONBLOCK);
  }
  const char* const open[] = {"xdg-open", target.c_str(), nullptr};
  // What the opener or the program it starts writes on standard output is
  // not the host's to print, and must not hold the host's output open.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (errors_in) {
    posix_spawn_file_actions_adddup2(&actions, errors_in.get(), STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  Started child;
  const bool started = Spawn(open, &actions, child);
  posix_spawn_file_actions_destroy(&actions);
  errors_in = ScopedFd();  // the opener's and its children's alone
  if (!started) {
    outcome.kind = OpenOutcome::kNotStarted;
    outcome.why = strerror(errno);
    return outcome;
  }
  const int64_t waited_enough = MonotonicMs() + kOpenWaitMs;
  const int64_t until = std::min(deadline, waited_enough);
  std::string tail;
  bool open_for_writers = static_cast<bool>(errors);
  int status = -1;
  while (child.end && !BreakRequested()) {
    pollfd watched[] = {{child.end.get(), POLLIN, 0},
                        {open_for_writers ? errors.get() : -1, POLLIN, 0},
                        {BreakFd(), POLLIN, 0}};
    const int ready = poll(watched, 3, RemainingMs(until));
    if (ready < 0 && errno != EINTR) break;
    if (watched[1].revents != 0) open_for_writers = ReadTail(errors.get(), tail);
    if (watched[0].revents != 0) {
      if (waitpid(child.pid, &status, 0) != child.pid) status = -1;
      break;
    }
    if (ready == 0 || RemainingMs(until) == 0) break;
  }
  // What it wrote before it ended, or up to now.
  if (open_for_writers) open_for_writers = ReadTail(errors.get(), tail);
  if (open_for_writers) HandToDrainer(std::move(errors));
  if (status < 0) {
    LeaveRunning(child.pid);
    outcome.kind = BreakRequested()                 ? OpenOutcome::kInterrupted
                   : MonotonicMs() >= waited_enough ? OpenOutcome::kHandedOver
                                                    : OpenOutcome::kUnfinished;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    outcome.kind = OpenOutcome::kOpened;
  } else {
    outcome.error_output = std::move(tail);
    outcome.why = EndOf(status);
    const std::string last = LastLine(outcome.error_output);
    if (!last.empty()) outcome.why += ": " + last;
  }
  return outcome;
}

size_t OpenersRunning() {
  std::lock_guard<std::mutex> lock(openers_mutex);
  std::erase_if(Openers(), [](const Opener& opener) {
    return !opener.waited && waitpid(opener.pid, nullptr, WNOHANG) != 0;
  });
  return Openers().size();
}

void TellOpenersLeftRunning() {
  std::lock_guard<std::mutex> lock(openers_mutex);
  if (Openers().empty()) return;
  std::string pids;
  for (const Opener& opener : Openers()) pids += " " + std::to_string(opener.pid);
  Warnf("leaving %zu xdg-open still running (pid%s): one may be running the desktop's map "
        "application, which is yours to close\n",
        Openers().size(), pids.c_str());
}

bool OnPath(const char* program) {
  const char* path = getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  for (;;) {
    const size_t colon = rest.find(':');
    std::string directory(rest.substr(0, colon));
    if (directory.empty()) directory = ".";
    if (access((directory + "/" + program).c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

HandlerQuery QueryHandler(const char* mime_type, int64_t deadline) {
  HandlerQuery query;
  const int64_t start = MonotonicMs();
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    query.why = std::string("no pipe for its answer: ") + strerror(errno);
    return query;
  }
  ScopedFd from_child(ends[0]), to_host(ends[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, to_host.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const char* const command[] = {"xdg-mime", "query", "default", mime_type, nullptr};
  Started child;
  const bool started = Spawn(command, &actions, child);
  posix_spawn_file_actions_destroy(&actions);
  if (!started) {
    query.why = std::string("could not be run: ") + strerror(errno);
    return query;
  }
  // Its end, not the end of its output, is waited for: a child it leaves
  // behind may hold that open. Its answer is a line, which the pipe holds.
  const bool ended = child.end && WaitReadable(child.end.get(), RemainingMs(deadline)) ==
                                      WaitResult::kReady;
  // It with all it started, or what it left behind.
  kill(-child.pid, SIGKILL);
  int status = 0;
  waitpid(child.pid, &status, 0);
  if (!ended) {
    if (BreakRequested()) {
      query.kind = HandlerQuery::kInterrupted;
    } else {
      char waited[32];
      snprintf(waited, sizeof waited, "%.1f", static_cast<double>(MonotonicMs() - start) / 1000);
      query.why = std::string("no answer within ") + waited + " s";
    }
    return query;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    query.why = EndOf(status);
    return query;
  }
  char answer[256];
  const ssize_t got = read(from_child.get(), answer, sizeof answer);
  query.kind = got > 0 && answer[0] != '\n' ? HandlerQuery::kFound : HandlerQuery::kNone;
  return query;
}

void OpenInBrowser(const std::string& url) {
  const OpenOutcome outcome = DesktopOpen(url, MonotonicMs() + kOpenWaitMs);
  if (outcome.kind == OpenOutcome::kNotStarted) {
    Warnf("cannot start xdg-open (xdg-utils); open %s in your browser\n", url.c_str());
  } else if (outcome.kind == OpenOutcome::kFailed) {
    ShowOpenerOutput(url, outcome);
    Warnf("xdg-open %s failed (%s); open it in your browser\n", url.c_str(),
          outcome.why.c_str());
  }
}

void ShowOpenerOutput(const std::string& target, const OpenOutcome& outcome) {
  const std::string& output = outcome.error_output;
  if (output.find_first_not_of(" \t\r\n") == std::string::npos) return;
  Warnf("xdg-open %s wrote on standard error:\n", target.c_str());
  for (size_t start = 0; start < output.size();) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    if (end > start) Warnf("  %s\n", output.substr(start, end - start).c_str());
    start = end + 1;
  }
}
