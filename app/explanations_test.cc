#include "app/explanations.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "rexx/public_port.h"
#include "tests/fake_services.h"

namespace {

SnapshotReport Report(const char* path, int error = 0, const char* problem = "") {
  SnapshotReport report = {error != 0 ? WindowEnd::kOpenFailed : WindowEnd::kTimeout, error};
  snprintf(report.path, sizeof report.path, "%s", path);
  snprintf(report.problem, sizeof report.problem, "%s", problem);
  return report;
}

// Each explanation by its facts: the path, the errno's words, the owner
// and mode, the reason. Those said the same way end to end are checked
// there.
TEST(Explanations, EachSaysItsFacts) {
  char directory[108];
  ASSERT_EQ(PortDirectory(directory, sizeof directory), 0);
  const std::string port = std::string("KARTOVELL.1 in ") + directory;
  const SupportedReceiver* ublox = &kSupportedReceivers[0];
  RexxCommandResult no_errno;
  no_errno.exchange = Exchange::kSystemError;
  const SnapshotReport gpsd_said = Report("/x", 0, "gpsd: \x1b]0;x\x07\r\nnavbeacon: \xc3\xa9\t.");
  using F = FakeServices;
  const std::pair<std::function<void(F&)>, std::vector<std::string>> cases[] = {
      {[&](F& s) { ExplainOpenFailure(Report("/dev/ttyACM0", -EACCES), ublox, s); },
       {"/dev/ttyACM0: Permission denied", "group20; join it", "usermod -aG group20",
        "70-navbeacon.rules", "receiver is at /dev/ttyACM3", "-user7"}},
      // The group is named only when it may read and write the device.
      {[&](F& s) { s.udev_rule = true; ExplainOpenFailure(Report("/dev/ttyUSB0", -EPERM), {}, s); },
       {"/dev/ttyUSB0: Operation not permitted", "user7:group20 with mode 0640", "-usermod",
        "-70-navbeacon.rules", "-/dev/ttyACM3"}},
      // Words from other programs (here gpsd's) can neither drive the
      // terminal nor pass for navbeacon's lines.
      {[&](F& s) { ExplainNoPosition(gpsd_said, "", 9600, false, true, s); },
       {"navbeacon: gpsd: \\x1B]0;x\\x07\\x0D\\x0Anavbeacon: \\xC3\\xA9\\x09.\n"}},
      {[&](F& s) { ExplainNoPosition(Report("/dev/null"), "", 9600, true, false, s); },
       {"/dev/null in 2 s", "not a receiver's tty"}},
      {[&](F& s) { ExplainNoReceiver("ttyNAVB", 3, -ENOMEM, s); },
       {"Cannot allocate memory", "UNIT 3 names /dev/ttyNAVB3", "not exist", "-lsusb"}},
      {[&](F& s) { ExplainNoReceiver("/tmp", 0, 0, s); },
       {"lsusb", "u-blox 5 (1546:01a5)", "(067b:23a3, 23b3, 23c3, 23d3, 23e3, 23f3)",
        "(0403:6015)", "/tmp is a directory"}},
      {[&](F& s) { ExplainNoReceiver("/dev/gps7", 0, 0, s); }, {"/dev/gps7 does not exist"}},
      {[&](F& s) { ExplainMissingPort(PortAbsence::kStale, s); }, {port, "has ended"}},
      {[&](F& s) { ExplainMissingPort(PortAbsence::kUnsafeDirectory, s); },
       {"navbeacon: the port directory has mode 0750\n", "-KARTOVELL.1"}},
      {[&](F& s) { ExplainMissingPort(PortAbsence::kOtherUser, s); }, {port, "another user"}},
      // A failure that carried no errno is never "Success".
      {[&](F&) { ExplainFailedGoto(no_errno); }, {"Input/output error", "-Success"}},
  };
  for (const auto& [explain, facts] : cases) {
    SCOPED_TRACE(facts[0]);
    FakeServices services;
    services.files = {{"/dev/ttyACM0", {S_IFCHR | 0660, 7, 20}}, {"/dev/null", {S_IFCHR | 0666}},
                      {"/dev/ttyUSB0", {S_IFCHR | 0640, 7, 20}}, {"/tmp", {S_IFDIR | 01777}}};
    services.udev_rule = false;
    services.tty = "/dev/ttyACM3";
    services.unsafe_directory = "the port directory has mode 0750";
    testing::internal::CaptureStderr();
    explain(services);
    ExpectFacts(testing::internal::GetCapturedStderr(), facts);
  }
}

}  // namespace
