// The run's services for tests: each answers from its fields when they are
// set, and otherwise does the real thing. Records what the run asked of
// the ones it fakes.
#pragma once

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/position_run.h"

class FakeServices : public LinuxRunServices {
 public:
  using Ids = std::pair<uint32_t, uint32_t>;
  std::optional<std::vector<Ids>> attached;  // USB: the ids attached
  int usb_error = 0;                         // a failing search's errno
  std::optional<std::string> snapshot;       // the receiver's text
  SnapshotReport report;                     // how its window ended
  std::optional<GotoOutcome> goto_outcome;   // how the goto ends
  Exchange exchange = Exchange::kOk;
  int32_t result1 = 0;
  const char* tty = nullptr;  // the receiver's tty on the bus

  std::vector<Ids> searches;
  std::vector<std::string> gotos;
  std::string device;
  int32_t unit = -99;
  uint32_t baud = 0;

  bool UsbDevicePresent(uint32_t vendor, uint32_t product, int& error) override {
    if (!attached) return LinuxRunServices::UsbDevicePresent(vendor, product, error);
    searches.emplace_back(vendor, product);
    error = usb_error;
    for (const Ids& ids : *attached) {
      if (ids == Ids(vendor, product)) return true;
    }
    return false;
  }
  bool ReceiverOnBus(const char* name, int32_t unit_number) override {
    return snapshot || LinuxRunServices::ReceiverOnBus(name, unit_number);
  }
  uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* name, int32_t unit_number,
                              uint32_t rate, SnapshotReport& out) override {
    if (!snapshot) {
      return LinuxRunServices::ReadSerialSnapshot(buffer, name, unit_number, rate, out);
    }
    device = name;
    unit = unit_number;
    baud = rate;
    out = report;
    memcpy(buffer.text, snapshot->data(), snapshot->size());
    return static_cast<uint32_t>(snapshot->size());
  }
  GotoResult SendGotoCommand(int32_t zoom, double latitude, double longitude) override {
    if (!goto_outcome) return LinuxRunServices::SendGotoCommand(zoom, latitude, longitude);
    char text[100];
    FormatGotoCommand(text, sizeof text, latitude, longitude, zoom);
    gotos.push_back(text);
    GotoResult result;
    result.outcome = *goto_outcome;
    result.reply.exchange = exchange;
    result.reply.result1 = result1;
    return result;
  }
  bool FindReceiverTty(uint32_t vendor, uint32_t product, char* path, size_t size) override {
    if (tty == nullptr) return LinuxRunServices::FindReceiverTty(vendor, product, path, size);
    snprintf(path, size, "%s", tty);
    return true;
  }
};
