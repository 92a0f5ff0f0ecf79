// The USB stack library: libudev, opened at start-up with dlopen so that a
// system without it gets one clear message instead of a loader error.
#pragma once

#include <libudev.h>

#include <string>

#include "platform/cleanup.h"

inline constexpr char kUsbStackLibrary[] = "libudev.so.1";

#define NAVBEACON_UDEV_FUNCTIONS(X)                                          \
  X(udev_new) X(udev_unref) X(udev_enumerate_new) X(udev_enumerate_unref)    \
  X(udev_enumerate_add_match_subsystem) X(udev_enumerate_add_match_sysattr)  \
  X(udev_enumerate_scan_devices) X(udev_enumerate_get_list_entry)            \
  X(udev_list_entry_get_next) X(udev_list_entry_get_name)                    \
  X(udev_device_new_from_syspath) X(udev_device_unref)                       \
  X(udev_device_get_devnode) X(udev_device_get_parent_with_subsystem_devtype) \
  X(udev_device_get_sysattr_value) X(udev_device_get_parent)                \
  X(udev_device_get_subsystem) X(udev_device_get_sysname)                  \
  X(udev_device_new_from_devnum)

// The functions the program uses, resolved from the library; their types
// come from <libudev.h>, so a mismatch does not compile.
struct UsbStack {
#define NAVBEACON_UDEV_MEMBER(name) decltype(&::name) name = nullptr;
  NAVBEACON_UDEV_FUNCTIONS(NAVBEACON_UDEV_MEMBER)
#undef NAVBEACON_UDEV_MEMBER
};

// Loads the library and resolves every function: 0, or -ELIBACC when the
// library or a function is missing, with `why` saying which and why.
int OpenUsbStack(std::string& why);

// The resolved functions; null unless OpenUsbStack() succeeded.
const UsbStack* UsbStackBase();

void CloseUsbStack();

// Free functions for Owned<> (platform/cleanup.h): each drops the
// reference through the resolved functions, so the stack must be open.
void UnrefUdev(udev* context);
void UnrefUdevEnumerate(udev_enumerate* search);
void UnrefUdevDevice(udev_device* device);

using UdevContext = Owned<udev, UnrefUdev>;
using UdevEnumerate = Owned<udev_enumerate, UnrefUdevEnumerate>;
using UdevDevice = Owned<udev_device, UnrefUdevDevice>;
