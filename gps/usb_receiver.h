// Is a USB device with these ids attached? Presence only: nothing is
// opened, claimed or locked, and the answer may be stale a moment later.
#pragma once

#include <cstddef>
#include <cstdint>

// 1 when an attached USB device has this vendor and product id, 0 when
// none has, or the negative errno of a search that failed (no USB stack:
// -ENOSYS).
int UsbDevicePresent(uint32_t vendor, uint32_t product);

// Writes the device node of a tty whose USB device has these ids (e.g.
// "/dev/ttyACM0") into `path`; false when there is none.
bool FindUsbTty(uint32_t vendor, uint32_t product, char* path, size_t size);

// What the character device at `path` is when it is not on the USB bus:
// "a serial port of the board", "a Bluetooth serial link", "a
// pseudo-terminal", "the system console" and the like, found from the
// numbers Linux fixes, its udev parent chain, or its major number (a
// pseudo-terminal has no chain). A device that is not a tty says so: its
// kind ends in "not a tty". Null for a device on the USB bus, for a tty
// the USB stack does not know, and for anything but a character device:
// those keep the receiver check. This is a classification, not a call that
// can fail: null is an answer ("keep the check"), never an error, and a
// device that cannot be looked at is classified by what can be seen of it.
const char* OffUsbKind(const char* path);
