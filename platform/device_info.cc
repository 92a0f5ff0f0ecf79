#include "platform/device_info.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/cleanup.h"

namespace {

bool IsPid(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

// Does process `pid` hold an open descriptor on the file (dev, ino)?
bool Holds(const char* pid, const struct stat& target) {
  char fds[320];
  snprintf(fds, sizeof fds, "/proc/%s/fd", pid);
  const Owned<DIR, closedir> dir(opendir(fds));
  if (!dir) return false;
  while (const dirent* entry = readdir(dir.get())) {
    char link[640];
    snprintf(link, sizeof link, "%s/%s", fds, entry->d_name);
    struct stat info;
    if (IsPid(entry->d_name) && stat(link, &info) == 0 &&
        info.st_rdev == target.st_rdev && info.st_ino == target.st_ino &&
        info.st_dev == target.st_dev) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool FindDeviceHolder(const char* path, char* name, size_t size, pid_t& pid) {
  struct stat target;
  if (stat(path, &target) != 0) return false;
  // Every pseudo-terminal's master is open on /dev/ptmx: none holds it alone.
  if (S_ISCHR(target.st_mode) && major(target.st_rdev) == 5 &&
      minor(target.st_rdev) == 2) {
    return false;
  }
  const Owned<DIR, closedir> proc(opendir("/proc"));
  if (!proc) return false;
  char self[16];
  snprintf(self, sizeof self, "%d", static_cast<int>(getpid()));
  while (const dirent* entry = readdir(proc.get())) {
    if (!IsPid(entry->d_name) || strcmp(entry->d_name, self) == 0 ||
        !Holds(entry->d_name, target)) {
      continue;
    }
    char comm_path[320];
    snprintf(comm_path, sizeof comm_path, "/proc/%s/comm", entry->d_name);
    const Owned<FILE, fclose> comm(fopen(comm_path, "re"));
    if (!comm || fgets(name, static_cast<int>(size), comm.get()) == nullptr) {
      continue;
    }
    name[strcspn(name, "\n")] = '\0';
    pid = static_cast<pid_t>(atoi(entry->d_name));
    return true;
  }
  return false;
}

bool UdevRuleInstalled() {
  for (const char* dir :
       {"/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
    char path[128];
    snprintf(path, sizeof path, "%s/%s", dir, kUdevRuleName);
    if (access(path, R_OK) == 0) return true;
  }
  return false;
}
