#include "gps/usb_receiver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/usb_stack.h"

namespace {

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
  const UdevContext context(usb->udev_new());
  if (!context) return errno != 0 ? -errno : -ENOMEM;
  errno = 0;
  const UdevEnumerate search(usb->udev_enumerate_new(context.get()));
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

int UsbDevicePresent(uint32_t vendor, uint32_t product) {
  const UsbIds ids(vendor, product);
  return ScanDevices(
      "usb", &ids, [](const UsbStack&, udev*, const char*) { return true; });
}

bool FindUsbTty(uint32_t vendor, uint32_t product, char* path, size_t size) {
  if (size == 0) return false;
  const UsbIds ids(vendor, product);
  auto visit = [&](const UsbStack& usb, udev* context, const char* syspath) {
    const UdevDevice tty(usb.udev_device_new_from_syspath(context, syspath));
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
  return "a tty of the kernel with no device behind it";
}

// Pseudo-terminal slaves: the Unix 98 majors, 136 to 143.
bool IsPseudoTerminal(const struct stat& info, const char* real) {
  return (major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143) ||
         (real != nullptr && strncmp(real, "/dev/pts/", 9) == 0);
}

// The devices whose numbers Linux fixes, and that are no receiver's
// port, by what they are.
const char* KindOfNumber(dev_t device) {
  if (major(device) == 1) return "a memory device of the kernel, not a tty";
  if (major(device) == 5 && minor(device) == 0) {
    return "the terminal navbeacon runs in";
  }
  if (major(device) == 5 && minor(device) == 1) return "the system console";
  if (major(device) == 5 && minor(device) == 2) {
    return "the pseudo-terminal multiplexer: it opens a new pseudo-terminal, "
           "which nobody writes to";
  }
  if (major(device) == 4 && minor(device) < 64) {
    return "a virtual terminal of the kernel";
  }
  return nullptr;
}

// Whether udev places the character device on the USB bus.
bool ChainHasUsb(dev_t device) {
  const UsbStack* usb = UsbStackBase();
  if (usb == nullptr) return false;
  const UdevContext context(usb->udev_new());
  if (!context) return false;
  const UdevDevice found(
      usb->udev_device_new_from_devnum(context.get(), 'c', device));
  for (udev_device* each = found.get(); each != nullptr;
       each = usb->udev_device_get_parent(each)) {
    const char* subsystem = usb->udev_device_get_subsystem(each);
    if (subsystem != nullptr && strcmp(subsystem, "usb") == 0) return true;
  }
  return false;
}

}  // namespace

const char* OffUsbKind(const char* path) {
  // A link (/dev/serial0, a --link of the simulator, /dev/stdin) is the
  // device it leads to. Only links are resolved: a simulated bus shows its
  // ttys as character devices, and resolving those fails under it.
  char real_path[PATH_MAX];
  struct stat info;
  const char* real = lstat(path, &info) == 0 && S_ISLNK(info.st_mode)
                         ? realpath(path, real_path)
                         : nullptr;
  if (stat(path, &info) != 0 || !S_ISCHR(info.st_mode)) return nullptr;
  if (const char* kind = KindOfNumber(info.st_rdev)) return kind;
  const char* kind = nullptr;
  bool known = false;
  auto visit = [&](const UsbStack& usb, udev* context, const char* syspath) {
    const UdevDevice tty(usb.udev_device_new_from_syspath(context, syspath));
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
  if (IsPseudoTerminal(info, real)) return "a pseudo-terminal";
  // A tty the USB stack does not describe keeps the check; a device that
  // is no tty at all is no serial port, and only the USB bus may hold a
  // receiver behind it.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  const bool tty = isatty(fd) == 1;
  close(fd);
  if (tty || ChainHasUsb(info.st_rdev)) return nullptr;
  return "a character device that is not a tty";
}
