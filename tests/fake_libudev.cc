// A library named like the USB stack's that lacks its functions: the
// program must refuse to start with it.
extern "C" int navbeacon_not_the_usb_stack() { return 0; }
