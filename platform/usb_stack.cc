#include "platform/usb_stack.h"

#include <dlfcn.h>

#include <cerrno>

namespace {

void* g_library = nullptr;
UsbStack g_stack;

template <typename Fn>
bool Resolve(void* library, const char* name, Fn& function, std::string& why) {
  function = reinterpret_cast<Fn>(dlsym(library, name));
  if (function == nullptr) {
    why = std::string(kUsbStackLibrary) + " has no function " + name;
  }
  return function != nullptr;
}

}  // namespace

int OpenUsbStack(std::string& why) {
  if (g_library != nullptr) return 0;
  void* library = dlopen(kUsbStackLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = dlerror();
    why = error != nullptr ? error : kUsbStackLibrary;
    return -ELIBACC;
  }
  UsbStack stack;
#define NAVBEACON_UDEV_RESOLVE(name) &&Resolve(library, #name, stack.name, why)
  if (!(true NAVBEACON_UDEV_FUNCTIONS(NAVBEACON_UDEV_RESOLVE))) {
    dlclose(library);
    return -ELIBACC;
  }
#undef NAVBEACON_UDEV_RESOLVE
  g_stack = stack;
  g_library = library;
  return 0;
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

void UnrefUdev(udev* context) { g_stack.udev_unref(context); }

void UnrefUdevEnumerate(udev_enumerate* search) {
  g_stack.udev_enumerate_unref(search);
}

void UnrefUdevDevice(udev_device* device) { g_stack.udev_device_unref(device); }
