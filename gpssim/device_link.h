// navbeacon-gpssim's --link: a symbolic link to its device, made only
// where nothing but a link a simulator left behind is, and removed at the
// end while it still leads to the device.
#pragma once

#include <string>

#include "platform/cleanup.h"

struct DeviceLink {
  std::string path;
  std::string device;
};

// Removes the link when it still leads to its device, and frees it.
void RemoveDeviceLink(DeviceLink* link);
using OwnedLink = Owned<DeviceLink, RemoveDeviceLink>;

// Makes `path` a symbolic link to `device`. What is there already is
// replaced only when a simulator made it and has ended: a link to a
// pseudo-terminal that is gone or whose number a newer terminal has taken
// since. 0; -EEXIST with `why` when `path` holds anything else; or the
// negative errno of a link that could not be made.
int MakeDeviceLink(const char* path, const std::string& device, OwnedLink& made,
                   std::string& why);
