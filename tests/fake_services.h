// The run's services for tests: each answers from the fields and records
// what the run asked of it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/exit_status.h"
#include "app/run_services.h"

// What `run` returned and wrote on standard output and error.
struct Captured {
  ExitStatus status;
  std::string out, err;
};
template <typename Run>
Captured Capture(Run run) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const ExitStatus status = run();
  fflush(stdout);
  std::string err = testing::internal::GetCapturedStderr();
  return {status, testing::internal::GetCapturedStdout(), err};
}

// Each fact is in `text`, but for one with a leading "-", which is not.
inline void ExpectFacts(const std::string& text, const std::vector<std::string>& facts) {
  for (const std::string& fact : facts) {
    EXPECT_EQ(text.find(fact.substr(fact[0] == '-')) == std::string::npos, fact[0] == '-')
        << fact << "\n" << text;
  }
}

struct FakeServices : RunServices {
  using Ids = std::pair<uint32_t, uint32_t>;
  std::vector<Ids> attached;  // USB: the ids attached
  int usb_error = 0;          // a failing search's errno
  std::string snapshot;       // the receiver's text
  SnapshotReport report;      // how its window ended
  GotoOutcome goto_outcome = GotoOutcome::kSent;
  PortAbsence absence = PortAbsence::kMissing;  // for kNoPort
  Exchange exchange = Exchange::kOk;
  int32_t result1 = 0;
  const char* tty = nullptr;  // the receiver's tty on the bus
  bool on_bus = true;         // false: a recording, a FIFO
  const char* off_bus = nullptr;  // with on_bus false: a tty's kind
  // The files there, by path (any other is missing), with their type and
  // mode, owner and group; user 7 is named "user7", group 20 "group20".
  struct File {
    mode_t mode;
    uid_t uid = 0;
    gid_t gid = 0;
  };
  std::map<std::string, File> files;
  bool udev_rule = true;
  std::string unsafe_directory;  // why the port directory is not trusted

  std::vector<Ids> searches;
  std::vector<std::string> gotos;
  std::string device;
  int32_t unit = -99;
  uint32_t baud = 0;

  int UsbDevicePresent(uint32_t vendor, uint32_t product) override {
    searches.emplace_back(vendor, product);
    if (usb_error != 0) return -usb_error;
    return std::find(attached.begin(), attached.end(), Ids(vendor, product)) != attached.end();
  }
  bool ReceiverOnBus(const char*, int32_t, const char** kind) override {
    if (kind != nullptr) *kind = off_bus;
    return on_bus;
  }
  uint32_t ReadSerialSnapshot(NmeaBuffer& buffer, const char* name, int32_t unit_number,
                              uint32_t rate, SnapshotReport& out) override {
    device = name;
    unit = unit_number;
    baud = rate;
    out = report;
    memcpy(buffer.text, snapshot.data(), snapshot.size());
    return static_cast<uint32_t>(snapshot.size());
  }
  GotoResult SendGotoCommand(int32_t zoom, double latitude, double longitude) override {
    char text[100];
    FormatGotoCommand(text, sizeof text, latitude, longitude, zoom);
    gotos.push_back(text);
    GotoResult result;
    result.outcome = goto_outcome;
    result.absence = absence;
    result.reply.exchange = exchange;
    result.reply.result1 = result1;
    return result;
  }
  bool FindReceiverTty(uint32_t, uint32_t, char* path, size_t size) override {
    if (tty != nullptr) snprintf(path, size, "%s", tty);
    return tty != nullptr;
  }
  int StatPath(const char* path, bool, struct stat& info) override {
    const auto file = files.find(path);
    if (file == files.end()) return -ENOENT;
    info = {};
    info.st_mode = file->second.mode;
    info.st_uid = file->second.uid;
    info.st_gid = file->second.gid;
    return 0;
  }
  std::string UserName(uid_t uid) override { return "user" + std::to_string(uid); }
  std::string GroupName(gid_t gid) override { return "group" + std::to_string(gid); }
  pid_t DeviceHolder(const char*, char*, size_t) override { return 0; }  // none
  bool UdevRuleInstalled() override { return udev_rule; }
  std::string UnsafePortDirectoryWhy(const char*) override { return unsafe_directory; }
};
