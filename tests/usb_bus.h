// A simulated USB bus (umockdev): libudev in this process, when it runs
// under umockdev-wrapper, and in children started with UsbBus::Env(), sees
// the devices attached here (tests/devices/*.umockdev) and nothing else.
#pragma once

#include <umockdev.h>

#include <stdexcept>
#include <string>
#include <vector>

class UsbBus {
 public:
  UsbBus() : testbed_(umockdev_testbed_new()) {}  // sets UMOCKDEV_DIR
  ~UsbBus() { g_object_unref(testbed_); }
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Adds the devices of tests/devices/NAME.umockdev.
  void Attach(const char* name) {
    const std::string path = std::string(SOURCE_DIR "/tests/devices/") + name + ".umockdev";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_file(testbed_, path.c_str(), &error)) {
      const std::string why = error != nullptr ? error->message : "";
      if (error != nullptr) g_error_free(error);
      throw std::runtime_error(path + ": " + why);
    }
  }

  // The environment for a child that should see this bus, with its public
  // ports in `runtime_dir`.
  static std::vector<std::string> Env(const std::string& runtime_dir) {
    return {"LD_PRELOAD=libumockdev-preload.so.0",
            "XDG_RUNTIME_DIR=" + runtime_dir,
            // The preload comes before a sanitizer's runtime.
            "ASAN_OPTIONS=verify_asan_link_order=0"};
  }

 private:
  UMockdevTestbed* testbed_;
};
