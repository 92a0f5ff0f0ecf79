#include "maphost/geo_bridge.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/break.h"
#include "platform/console.h"
#include "platform/scoped_fd.h"
#include "platform/wait.h"

extern char** environ;

namespace {

// xdg-mime is a shell script that reads the desktop's configuration: quick
// as a rule, but a hung one must not hold the sender's reply for long.
constexpr int kHandlerQueryMs = 2000;

// Starts `argv` found on PATH, with `actions` on its descriptors, with
// SIGPIPE at its default (the host ignores it) and no signal blocked.
// errno tells why it could not be started.
bool Spawn(const char* const argv[], const posix_spawn_file_actions_t* actions,
           pid_t& child) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int error = posix_spawnp(&child, argv[0], actions, &attributes,
                                 const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  errno = error;
  return error == 0;
}

// Whether the desktop has a handler for geo: URIs (GNOME Maps, Marble):
// what `xdg-mime query default x-scheme-handler/geo` prints, read for
// kHandlerQueryMs at most. No answer in time, or Ctrl-C, counts as none.
bool DesktopHasMap() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  ScopedFd from_child(ends[0]), to_host(ends[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_host.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  const char* const query[] = {"xdg-mime", "query", "default",
                               "x-scheme-handler/geo", nullptr};
  pid_t child;
  const bool started = Spawn(query, &actions, child);
  posix_spawn_file_actions_destroy(&actions);
  if (!started) return false;
  to_host = ScopedFd();  // so that the child's end is the only writer
  char answer[256];
  size_t got = 0;
  const int64_t deadline = MonotonicMs() + kHandlerQueryMs;
  while (got < sizeof answer &&
         WaitReadable(from_child.get(), RemainingMs(deadline)) ==
             WaitResult::kReady) {
    const ssize_t part = read(from_child.get(), answer + got, sizeof answer - got);
    if (part <= 0) break;
    got += part;
  }
  // Closing its output comes just before its end; one still running at the
  // deadline is not going to give an answer.
  int status = 0;
  // (Debian 12's <sys/pidfd.h> declares pidfd_open without C linkage.)
  ScopedFd end(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
  if (!end || WaitReadable(end.get(), RemainingMs(deadline)) != WaitResult::kReady ||
      waitpid(child, &status, WNOHANG) != child) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got > 0 &&
         answer[0] != '\n';
}

}  // namespace

std::string OpenStreetMapLink(const MapGoto& where) {
  char link[256];
  snprintf(link, sizeof link,
           "https://www.openstreetmap.org/?mlat=%.6f&mlon=%.6f#map=%d/%.6f/%.6f",
           where.latitude, where.longitude, static_cast<int>(where.zoom),
           where.latitude, where.longitude);
  return link;
}

GeoBridge::~GeoBridge() { Reap(); }

void GeoBridge::Reap() {
  std::erase_if(started_, [](pid_t child) {
    return waitpid(child, nullptr, WNOHANG) != 0;  // ended, or not ours
  });
}

BridgeReply GeoBridge::Show(const MapGoto& where) {
  Reap();
  // The desktop's own map when it has one, the browser otherwise.
  const bool desktop = DesktopHasMap();
  if (BreakRequested()) return {kHandOffFailed, "the map host is stopping"};
  std::string target = OpenStreetMapLink(where);
  if (desktop) {
    char geo[128];
    snprintf(geo, sizeof geo, "geo:%.6f,%.6f?z=%d", where.latitude,
             where.longitude, static_cast<int>(where.zoom));
    target = geo;
  }
  const char* const open[] = {"xdg-open", target.c_str(), nullptr};
  // What the opener or the browser it starts says is not the host's to
  // print, and a browser must not hold the host's output open.
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child;
  const bool started = Spawn(open, &quiet, child);
  posix_spawn_file_actions_destroy(&quiet);
  if (!started) {
    Warnf("cannot run xdg-open: %s; it comes with the xdg-utils package\n",
          strerror(errno));
    return {kHandOffFailed, "the map host could not run xdg-open"};
  }
  started_.push_back(child);
  if (desktop) {
    printf("  opened in the desktop's map: %s\n", target.c_str());
  } else {
    printf("  opened in the browser: no map application handles geo: links\n");
  }
  fflush(stdout);
  return {};
}
