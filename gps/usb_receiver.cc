#include "gps/usb_receiver.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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
struct UsbIds {
  char vendor[8], product[8];
  UsbIds(uint32_t vendor_id, uint32_t product_id) {
    snprintf(vendor, sizeof vendor, "%04x", vendor_id & 0xffff);
    snprintf(product, sizeof product, "%04x", product_id & 0xffff);
  }
};

// Calls `visit(usb, context, syspath)` for each device of `subsystem`
// (with these ids, when given) until it returns true. Returns 1 when a
// visit returned true, 0 when none did, or a negative errno.
template <typename Visit>
int ScanDevices(const char* subsystem, const UsbIds* ids, Visit visit) {
  const UsbStack* usb = UsbStackBase();
  if (usb == nullptr) return -ENOSYS;
  errno = 0;  // libudev's constructors say why they failed only in errno
  UdevRef<udev> context(usb->udev_new(), usb->udev_unref);
  if (!context) return errno != 0 ? -errno : -ENOMEM;
  UdevRef<udev_enumerate> search(usb->udev_enumerate_new(context.get()),
                                 usb->udev_enumerate_unref);
  if (!search) return errno != 0 ? -errno : -ENOMEM;
  int status = usb->udev_enumerate_add_match_subsystem(search.get(), subsystem);
  if (status >= 0 && ids != nullptr) {
    status = usb->udev_enumerate_add_match_sysattr(search.get(), "idVendor",
                                                   ids->vendor);
    if (status >= 0) {
      status = usb->udev_enumerate_add_match_sysattr(search.get(), "idProduct",
                                                     ids->product);
    }
  }
  if (status >= 0) status = usb->udev_enumerate_scan_devices(search.get());
  if (status < 0) return status;
  for (udev_list_entry* entry =
           usb->udev_enumerate_get_list_entry(search.get());
       entry != nullptr; entry = usb->udev_list_entry_get_next(entry)) {
    if (visit(*usb, context.get(), usb->udev_list_entry_get_name(entry))) {
      return 1;
    }
  }
  return 0;
}

}  // namespace

bool UsbDevicePresent(uint32_t vendor, uint32_t product, int& error) {
  const UsbIds ids(vendor, product);
  const int found = ScanDevices(
      "usb", &ids, [](const UsbStack&, udev*, const char*) { return true; });
  error = found < 0 ? -found : 0;
  return found == 1;
}

bool FindUsbTty(uint32_t vendor, uint32_t product, char* path, size_t size) {
  if (size == 0) return false;
  const UsbIds ids(vendor, product);
  auto visit = [&](const UsbStack& usb, udev* context, const char* syspath) {
    UdevRef<udev_device> tty(usb.udev_device_new_from_syspath(context, syspath),
                             usb.udev_device_unref);
    if (!tty) return false;
    // The parent is owned by the child: no reference of our own.
    udev_device* parent = usb.udev_device_get_parent_with_subsystem_devtype(
        tty.get(), "usb", "usb_device");
    const char* node = usb.udev_device_get_devnode(tty.get());
    if (parent == nullptr || node == nullptr) return false;
    const char* parent_vendor =
        usb.udev_device_get_sysattr_value(parent, "idVendor");
    const char* parent_product =
        usb.udev_device_get_sysattr_value(parent, "idProduct");
    if (parent_vendor == nullptr || parent_product == nullptr ||
        strcmp(parent_vendor, ids.vendor) != 0 ||
        strcmp(parent_product, ids.product) != 0) {
      return false;
    }
    snprintf(path, size, "%s", node);
    return true;
  };
  return ScanDevices("tty", nullptr, visit) == 1;
}

namespace {

// The kind of a tty's udev device, from the subsystems of its parents:
// null when one of them is on the USB bus. Bluetooth is looked for first,
// as an adapter is often itself a USB device.
const char* KindOfChain(const UsbStack& usb, udev_device* tty) {
  const char* kind = nullptr;
  bool usb_parent = false;
  for (udev_device* each = usb.udev_device_get_parent(tty); each != nullptr;
       each = usb.udev_device_get_parent(each)) {
    const char* subsystem = usb.udev_device_get_subsystem(each);
    if (subsystem == nullptr) continue;
    if (strcmp(subsystem, "bluetooth") == 0) return "a Bluetooth serial link";
    if (strcmp(subsystem, "usb") == 0) usb_parent = true;
    if (kind == nullptr &&
        (strcmp(subsystem, "platform") == 0 || strcmp(subsystem, "amba") == 0 ||
         strcmp(subsystem, "pnp") == 0 || strcmp(subsystem, "acpi") == 0 ||
         strcmp(subsystem, "serial-base") == 0)) {
      kind = "a serial port of the board";
    } else if (kind == nullptr && strcmp(subsystem, "pci") == 0) {
      kind = "a serial port on a PCI card";
    }
  }
  if (usb_parent) return nullptr;
  if (kind != nullptr) return kind;
  // An unbound rfcomm link ("rfcomm bind") has no parent yet.
  const char* name = usb.udev_device_get_sysname(tty);
  if (name != nullptr && strncmp(name, "rfcomm", 6) == 0) {
    return "a Bluetooth serial link";
  }
  return "a virtual terminal of the kernel";
}

// Pseudo-terminal slaves: the Unix 98 majors, 136 to 143.
bool IsPseudoTerminal(const char* path, const char* real) {
  struct stat info;
  if (stat(path, &info) == 0 && S_ISCHR(info.st_mode) &&
      major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143) {
    return true;
  }
  return real != nullptr && strncmp(real, "/dev/pts/", 9) == 0;
}

}  // namespace

const char* OffUsbKind(const char* path) {
  // A link (/dev/serial0, a --link of the simulator) is the tty it leads
  // to. Only links are resolved: a simulated bus shows its ttys as
  // character devices, and resolving those fails under it.
  char real_path[PATH_MAX];
  struct stat info;
  const char* real = lstat(path, &info) == 0 && S_ISLNK(info.st_mode)
                         ? realpath(path, real_path)
                         : nullptr;
  const char* kind = nullptr;
  bool known = false;
  auto visit = [&](const UsbStack& usb, udev* context, const char* syspath) {
    UdevRef<udev_device> tty(usb.udev_device_new_from_syspath(context, syspath),
                             usb.udev_device_unref);
    if (!tty) return false;
    const char* node = usb.udev_device_get_devnode(tty.get());
    if (node == nullptr ||
        (strcmp(node, path) != 0 && (real == nullptr || strcmp(node, real) != 0))) {
      return false;
    }
    known = true;
    kind = KindOfChain(usb, tty.get());
    return true;
  };
  // The USB stack's word comes first: a tty it describes may be carried
  // by a pseudo-terminal (as under a simulated bus).
  if (ScanDevices("tty", nullptr, visit) == 1 && known) return kind;
  return IsPseudoTerminal(path, real) ? "a pseudo-terminal" : nullptr;
}
