#include "platform/usb_stack.h"

#include <dlfcn.h>

#include <cstdio>

namespace {

void* g_library = nullptr;
UsbStack g_stack;
char g_error[512] = "";

template <typename Fn>
bool Resolve(void* library, const char* name, Fn& function) {
  function = reinterpret_cast<Fn>(dlsym(library, name));
  if (function == nullptr) {
    snprintf(g_error, sizeof g_error, "%s has no function %s", kUsbStackLibrary,
             name);
  }
  return function != nullptr;
}

}  // namespace

bool OpenUsbStack() {
  if (g_library != nullptr) return true;
  void* library = dlopen(kUsbStackLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    snprintf(g_error, sizeof g_error, "%s", why ? why : kUsbStackLibrary);
    return false;
  }
  UsbStack stack;
#define NAVBEACON_UDEV_RESOLVE(name) &&Resolve(library, #name, stack.name)
  if (!(true NAVBEACON_UDEV_FUNCTIONS(NAVBEACON_UDEV_RESOLVE))) {
    dlclose(library);
    return false;
  }
#undef NAVBEACON_UDEV_RESOLVE
  g_stack = stack;
  g_library = library;
  return true;
}

const char* UsbStackError() { return g_error; }

const UsbStack* UsbStackBase() {
  return g_library != nullptr ? &g_stack : nullptr;
}

void CloseUsbStack() {
  if (g_library == nullptr) return;
  dlclose(g_library);
  g_library = nullptr;
  g_stack = UsbStack();
}
