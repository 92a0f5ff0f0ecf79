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
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/break.h"
#include "platform/cleanup.h"
#include "platform/console.h"
#include "platform/errors.h"
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

// Where a started program's standard input, output and error go: a
// descriptor of the host's, or /dev/null (kNull).
constexpr int kNull = -1;
struct Streams {
  int in = kNull, out = kNull, error = kNull;
};

// Starts `argv` found on PATH with `streams`, in a process group of its
// own (so that it can be killed with all it starts), with every signal at
// its default action (the host ignores SIGPIPE) and none blocked. 0, or
// the negative errno of why it could not be started.
int Spawn(const char* const argv[], Streams streams, Started& child) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const Owned<posix_spawn_file_actions_t, posix_spawn_file_actions_destroy> actions_owned(
      &actions);
  const std::pair<int, int> to[] = {{streams.in, STDIN_FILENO},
                                    {streams.out, STDOUT_FILENO},
                                    {streams.error, STDERR_FILENO}};
  for (const auto& [from, fd] : to) {
    if (from == kNull) {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                       fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    } else {
      posix_spawn_file_actions_adddup2(&actions, from, fd);
    }
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  const Owned<posix_spawnattr_t, posix_spawnattr_destroy> attributes_owned(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                            POSIX_SPAWN_SETPGROUP);
  const int error = posix_spawnp(&child.pid, argv[0], &actions, &attributes,
                                 const_cast<char* const*>(argv), environ);
  if (error != 0) return -error;
  // (Debian 12's <sys/pidfd.h> declares pidfd_open without C linkage.)
  child.end = ScopedFd(static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0)));
  return 0;
}

// What a started program writes on a pipe: its last kKeptErrorOutput
// bytes, read while the pipe is open for writers.
struct Tail {
  ScopedFd from;  // non-blocking
  bool open = false;
  std::string text;
};

// Appends what can be read from the pipe now to the tail, keeping its
// last kKeptErrorOutput bytes; its `open` false once every writer has
// closed its end.
void ReadTail(Tail& tail) {
  char buffer[16384];
  while (tail.open) {
    const ssize_t got = read(tail.from.get(), buffer, sizeof buffer);
    if (got <= 0) {
      tail.open = got < 0 && (errno == EINTR || errno == EAGAIN);
      return;
    }
    tail.text.append(buffer, static_cast<size_t>(got));
    if (tail.text.size() > kKeptErrorOutput) {
      tail.text.erase(0, tail.text.size() - kKeptErrorOutput);
    }
  }
}

// Waits until `child` has ended (it is not collected), `until`
// (MonotonicMs) has passed or Ctrl-C, reading what comes on `tail`
// meanwhile. 0 once it has ended; while it may still run, -ETIMEDOUT,
// -EINTR, or the negative errno of a wait that failed.
int AwaitEnd(const Started& child, int64_t until, Tail* tail) {
  if (!child.end) return -EBADF;  // no pidfd: its end cannot be seen
  for (;;) {
    if (BreakRequested()) return -EINTR;
    pollfd watched[] = {{child.end.get(), POLLIN, 0},
                        {tail != nullptr && tail->open ? tail->from.get() : -1, POLLIN, 0},
                        {BreakFd(), POLLIN, 0}};
    const int ready = poll(watched, 3, RemainingMs(until));
    const int error = ready < 0 ? NegativeErrno() : 0;
    if (error != 0 && error != -EINTR) return error;
    if (watched[1].revents != 0) ReadTail(*tail);
    if (watched[0].revents != 0) return 0;
    if (ready == 0 || RemainingMs(until) == 0) return -ETIMEDOUT;
  }
}

// The wait status of a child that has ended, collected; or a negative
// errno.
int Collect(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid ? status : NegativeErrno();
}

// The programs left running: each collected when it ends by a thread that
// only waits for it, or, with no thread to be had, looked for at the next
// count. Openers are the xdg-open runs among them, which the count and
// the cap are about.
struct LeftRunning {
  pid_t pid;
  bool opener;
  bool waited;  // by a thread of its own
};
std::mutex left_mutex;
std::vector<LeftRunning>& Left() {
  static std::vector<LeftRunning> left;
  return left;
}

void LeaveRunning(pid_t pid, bool opener) {
  std::lock_guard<std::mutex> lock(left_mutex);
  bool waited = true;
  try {
    std::thread([pid] {
      waitpid(pid, nullptr, 0);
      std::lock_guard<std::mutex> collected(left_mutex);
      std::erase_if(Left(), [pid](const LeftRunning& left) { return left.pid == pid; });
    }).detach();
  } catch (const std::system_error&) {
    waited = false;
  }
  Left().push_back({pid, opener, waited});
}

// Gives the read end of the opener's standard error to a `cat` that
// discards all that comes until every writer has gone: the opener and the
// application it started never block or get SIGPIPE writing there, and
// nothing of it is kept. The cat is left running like an opener, and is
// not counted as one.
void HandToDrainer(ScopedFd from) {
  const int flags = fcntl(from.get(), F_GETFL);
  if (flags >= 0) fcntl(from.get(), F_SETFL, flags & ~O_NONBLOCK);  // cat reads blocking
  const char* const cat[] = {"cat", nullptr};
  Started drainer;
  // Not started: writers then get EPIPE, and nothing better is left.
  if (Spawn(cat, {.in = from.get()}, drainer) == 0) LeaveRunning(drainer.pid, false);
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
  Tail errors;
  ScopedFd errors_in;
  if (pipe2(ends, O_CLOEXEC) == 0) {
    errors.from = ScopedFd(ends[0]);
    errors.open = true;
    errors_in = ScopedFd(ends[1]);  // blocking: the opener's writes all succeed
    fcntl(errors.from.get(), F_SETFL, fcntl(errors.from.get(), F_GETFL) | O_NONBLOCK);
  }
  const char* const open[] = {"xdg-open", target.c_str(), nullptr};
  // What the opener or the program it starts writes on standard output is
  // not the host's to print, and must not hold the host's output open.
  Started child;
  const int started = Spawn(open, {.error = errors_in ? errors_in.get() : kNull}, child);
  errors_in = ScopedFd();  // the opener's and its children's alone
  if (started < 0) {
    outcome.kind = OpenOutcome::kNotStarted;
    outcome.why = FailureText(started);
    return outcome;
  }
  const int64_t waited_enough = MonotonicMs() + kOpenWaitMs;
  const int ended = AwaitEnd(child, std::min(deadline, waited_enough), &errors);
  const int status = ended == 0 ? Collect(child.pid) : -1;
  // What it wrote before it ended, or up to now.
  ReadTail(errors);
  if (errors.open) HandToDrainer(std::move(errors.from));
  if (status < 0) {
    LeaveRunning(child.pid, true);
    outcome.kind = BreakRequested()                 ? OpenOutcome::kInterrupted
                   : MonotonicMs() >= waited_enough ? OpenOutcome::kHandedOver
                                                    : OpenOutcome::kUnfinished;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    outcome.kind = OpenOutcome::kOpened;
  } else {
    outcome.error_output = std::move(errors.text);
    outcome.why = EndOf(status);
    const std::string last = LastLine(outcome.error_output);
    if (!last.empty()) outcome.why += ": " + last;
  }
  return outcome;
}

size_t OpenersRunning() {
  std::lock_guard<std::mutex> lock(left_mutex);
  std::erase_if(Left(), [](const LeftRunning& left) {
    return !left.waited && waitpid(left.pid, nullptr, WNOHANG) != 0;
  });
  return static_cast<size_t>(
      std::count_if(Left().begin(), Left().end(), [](const LeftRunning& left) {
        return left.opener;
      }));
}

void TellOpenersLeftRunning() {
  std::lock_guard<std::mutex> lock(left_mutex);
  std::string pids;
  size_t openers = 0;
  for (const LeftRunning& left : Left()) {
    if (!left.opener) continue;
    pids += ' ';  // appended in steps: g++ 12 warns of operator+ here (-Wrestrict)
    pids += std::to_string(left.pid);
    ++openers;
  }
  if (openers == 0) return;
  Warnf("leaving %zu xdg-open still running (pid%s): one may be running the desktop's map "
        "application, which is yours to close\n",
        openers, pids.c_str());
}

bool OnPath(const char* program) {
  const char* path = getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  for (;;) {
    const size_t colon = rest.find(':');
    std::string_view directory = rest.substr(0, colon);
    if (directory.empty()) directory = ".";
    std::string file(directory);
    file.append("/").append(program);
    if (access(file.c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

HandlerQuery QueryHandler(const char* mime_type, int64_t deadline) {
  HandlerQuery query;
  const int64_t start = MonotonicMs();
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    query.why = std::string("no pipe for its answer: ") + FailureText(NegativeErrno());
    return query;
  }
  ScopedFd from_child(ends[0]), to_host(ends[1]);
  const char* const command[] = {"xdg-mime", "query", "default", mime_type, nullptr};
  Started child;
  const int started = Spawn(command, {.out = to_host.get()}, child);
  if (started < 0) {
    query.why = std::string("could not be run: ") + FailureText(started);
    return query;
  }
  // Its end, not the end of its output, is waited for: a child it leaves
  // behind may hold that open. Its answer is a line, which the pipe holds.
  const bool ended = AwaitEnd(child, deadline, nullptr) == 0;
  // It with all it started, or what it left behind.
  kill(-child.pid, SIGKILL);
  const int status = Collect(child.pid);
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
  if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    query.why = status < 0 ? std::string("not collected: ") + FailureText(status)
                           : EndOf(status);
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
