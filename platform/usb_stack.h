// The USB stack library: libudev, opened at start-up with dlopen so that a
// system without it gets one clear message instead of a loader error.
#pragma once

#include <libudev.h>

inline constexpr char kUsbStackLibrary[] = "libudev.so.1";

// The functions the program uses, resolved from the library.
struct UsbStack {
  struct udev* (*udev_new)(void);
  struct udev* (*udev_unref)(struct udev*);
  struct udev_enumerate* (*udev_enumerate_new)(struct udev*);
  struct udev_enumerate* (*udev_enumerate_unref)(struct udev_enumerate*);
  int (*udev_enumerate_add_match_subsystem)(struct udev_enumerate*,
                                            const char*);
  int (*udev_enumerate_add_match_sysattr)(struct udev_enumerate*, const char*,
                                          const char*);
  int (*udev_enumerate_scan_devices)(struct udev_enumerate*);
  struct udev_list_entry* (*udev_enumerate_get_list_entry)(
      struct udev_enumerate*);
  struct udev_list_entry* (*udev_list_entry_get_next)(struct udev_list_entry*);
  const char* (*udev_list_entry_get_name)(struct udev_list_entry*);
  struct udev_device* (*udev_device_new_from_syspath)(struct udev*,
                                                      const char*);
  struct udev_device* (*udev_device_unref)(struct udev_device*);
  const char* (*udev_device_get_devnode)(struct udev_device*);
  struct udev_device* (*udev_device_get_parent_with_subsystem_devtype)(
      struct udev_device*, const char*, const char*);
  const char* (*udev_device_get_sysattr_value)(struct udev_device*,
                                               const char*);
};

// Loads the library and resolves every function; false when the library
// or any function is missing.
bool OpenUsbStack();

// The resolved functions; null unless OpenUsbStack() succeeded.
const UsbStack* UsbStackBase();

void CloseUsbStack();
