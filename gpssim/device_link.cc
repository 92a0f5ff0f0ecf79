#include "gpssim/device_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "gpssim/line.h"
#include "platform/errors.h"

namespace {

// Where the link at `path` leads, or "".
std::string Target(const std::string& path) {
  char target[64];
  const ssize_t size = readlink(path.c_str(), target, sizeof target);
  return size > 0 && size < static_cast<ssize_t>(sizeof target)
             ? std::string(target, static_cast<size_t>(size))
             : "";
}

}  // namespace

void RemoveDeviceLink(DeviceLink* link) {
  if (Target(link->path) == link->device) unlink(link->path.c_str());
  delete link;
}

int MakeDeviceLink(const char* path, const std::string& device, OwnedLink& made,
                   std::string& why) {
  struct stat link, terminal;
  if (lstat(path, &link) == 0) {
    const std::string target = Target(path);
    const bool pts = target.size() > 9 && target.starts_with("/dev/pts/") &&
                     target.find_first_not_of("0123456789", 9) == std::string::npos;
    if (!S_ISLNK(link.st_mode)) {
      why = "it is not a symbolic link";
    } else if (!pts) {
      why = "it links to something other than a pseudo-terminal";
    } else if (stat(target.c_str(), &terminal) == 0 &&
               Nanoseconds(terminal.st_ctim) <= Nanoseconds(link.st_ctim)) {
      why = "the pseudo-terminal it links to is in use (by another simulator?)";
    }
    if (!why.empty()) return -EEXIST;
    unlink(path);
  }
  if (symlink(device.c_str(), path) != 0) return NegativeErrno();
  made.reset(new DeviceLink{path, device});
  return 0;
}
