#include "gps/usb_receiver.h"

#include <cstdio>
#include <cstring>

#include "platform/usb_stack.h"

namespace {

// Holds one udev reference and drops it on scope exit.
template <typename T>
class UdevRef {
 public:
  UdevRef(T* object, T* (*unref)(T*)) : object_(object), unref_(unref) {}
  ~UdevRef() {
    if (object_ != nullptr) unref_(object_);
  }
  UdevRef(const UdevRef&) = delete;
  UdevRef& operator=(const UdevRef&) = delete;
  T* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_;
  T* (*unref_)(T*);
};

// sysfs writes USB ids as four lower-case hex digits.
void FormatUsbId(uint32_t id, char (&text)[8]) {
  snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id & 0xffff));
}

}  // namespace

bool UsbDevicePresent(uint32_t vendor, uint32_t product) {
  const UsbStack* usb = UsbStackBase();
  if (usb == nullptr) return false;
  UdevRef<udev> context(usb->udev_new(), usb->udev_unref);
  if (!context) return false;
  UdevRef<udev_enumerate> search(usb->udev_enumerate_new(context.get()),
                                 usb->udev_enumerate_unref);
  if (!search) return false;
  char vendor_text[8], product_text[8];
  FormatUsbId(vendor, vendor_text);
  FormatUsbId(product, product_text);
  if (usb->udev_enumerate_add_match_subsystem(search.get(), "usb") < 0 ||
      usb->udev_enumerate_add_match_sysattr(search.get(), "idVendor",
                                            vendor_text) < 0 ||
      usb->udev_enumerate_add_match_sysattr(search.get(), "idProduct",
                                            product_text) < 0 ||
      usb->udev_enumerate_scan_devices(search.get()) < 0) {
    return false;
  }
  return usb->udev_enumerate_get_list_entry(search.get()) != nullptr;
}

bool FindUsbTty(uint32_t vendor, uint32_t product, char* path, size_t size) {
  const UsbStack* usb = UsbStackBase();
  if (usb == nullptr || size == 0) return false;
  UdevRef<udev> context(usb->udev_new(), usb->udev_unref);
  if (!context) return false;
  UdevRef<udev_enumerate> search(usb->udev_enumerate_new(context.get()),
                                 usb->udev_enumerate_unref);
  if (!search ||
      usb->udev_enumerate_add_match_subsystem(search.get(), "tty") < 0 ||
      usb->udev_enumerate_scan_devices(search.get()) < 0) {
    return false;
  }
  char vendor_text[8], product_text[8];
  FormatUsbId(vendor, vendor_text);
  FormatUsbId(product, product_text);
  for (udev_list_entry* entry =
           usb->udev_enumerate_get_list_entry(search.get());
       entry != nullptr; entry = usb->udev_list_entry_get_next(entry)) {
    UdevRef<udev_device> tty(
        usb->udev_device_new_from_syspath(context.get(),
                                          usb->udev_list_entry_get_name(entry)),
        usb->udev_device_unref);
    if (!tty) continue;
    // The parent is owned by the child: no reference of our own.
    udev_device* parent = usb->udev_device_get_parent_with_subsystem_devtype(
        tty.get(), "usb", "usb_device");
    const char* node = usb->udev_device_get_devnode(tty.get());
    if (parent == nullptr || node == nullptr) continue;
    const char* parent_vendor =
        usb->udev_device_get_sysattr_value(parent, "idVendor");
    const char* parent_product =
        usb->udev_device_get_sysattr_value(parent, "idProduct");
    if (parent_vendor != nullptr && parent_product != nullptr &&
        strcmp(parent_vendor, vendor_text) == 0 &&
        strcmp(parent_product, product_text) == 0) {
      snprintf(path, size, "%s", node);
      return true;
    }
  }
  return false;
}
