// The receivers navbeacon knows on the USB bus, by vendor and product id.
#pragma once

#include <cstdint>

struct SupportedReceiver {
  uint16_t vendor;
  uint16_t product;
  const char* name;
};

// In the order they are looked for; --help and the man page list them.
inline constexpr SupportedReceiver kSupportedReceivers[] = {
    {0x1546, 0x01A5, "u-blox 5"},
    {0x067B, 0x2303, "Prolific PL2303 USB-to-serial bridge"},
    {0x1546, 0x01A6, "u-blox 6"},
    {0x1546, 0x01A7, "u-blox 7"},
    {0x1546, 0x01A8, "u-blox 8"},
    {0x1546, 0x01A9, "u-blox 9"},
    {0x067B, 0x23A3, "Prolific PL2303G USB-to-serial bridge"},
    {0x067B, 0x23B3, "Prolific PL2303G USB-to-serial bridge"},
    {0x067B, 0x23C3, "Prolific PL2303G USB-to-serial bridge"},
    {0x067B, 0x23D3, "Prolific PL2303G USB-to-serial bridge"},
    {0x067B, 0x23E3, "Prolific PL2303G USB-to-serial bridge"},
    {0x067B, 0x23F3, "Prolific PL2303G USB-to-serial bridge"},
    {0x10C4, 0xEA60, "Silicon Labs CP210x USB-to-serial bridge"},
    {0x1A86, 0x7523, "WCH CH340/CH341 USB-to-serial bridge"},
    {0x0403, 0x6001, "FTDI FT232R USB-to-serial bridge"},
    {0x0403, 0x6015, "FTDI FT231X USB-to-serial bridge"},
};
