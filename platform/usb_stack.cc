#include "platform/usb_stack.h"

#include <dlfcn.h>

namespace {

void* g_library = nullptr;
UsbStack g_stack;

template <typename Fn>
bool Resolve(void* library, const char* name, Fn& function) {
  function = reinterpret_cast<Fn>(dlsym(library, name));
  return function != nullptr;
}

bool ResolveAll(void* library, UsbStack& stack) {
#define RESOLVE(name) Resolve(library, #name, stack.name)
  return RESOLVE(udev_new) && RESOLVE(udev_unref) &&
         RESOLVE(udev_enumerate_new) && RESOLVE(udev_enumerate_unref) &&
         RESOLVE(udev_enumerate_add_match_subsystem) &&
         RESOLVE(udev_enumerate_add_match_sysattr) &&
         RESOLVE(udev_enumerate_scan_devices) &&
         RESOLVE(udev_enumerate_get_list_entry) &&
         RESOLVE(udev_list_entry_get_next) &&
         RESOLVE(udev_list_entry_get_name) &&
         RESOLVE(udev_device_new_from_syspath) &&
         RESOLVE(udev_device_unref) && RESOLVE(udev_device_get_devnode) &&
         RESOLVE(udev_device_get_parent_with_subsystem_devtype) &&
         RESOLVE(udev_device_get_sysattr_value);
#undef RESOLVE
}

}  // namespace

bool OpenUsbStack() {
  if (g_library != nullptr) return true;
  void* library = dlopen(kUsbStackLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  if (!ResolveAll(library, g_stack)) {
    dlclose(library);
    g_stack = UsbStack();
    return false;
  }
  g_library = library;
  return true;
}

const UsbStack* UsbStackBase() {
  return g_library != nullptr ? &g_stack : nullptr;
}

void CloseUsbStack() {
  if (g_library == nullptr) return;
  dlclose(g_library);
  g_library = nullptr;
  g_stack = UsbStack();
}
