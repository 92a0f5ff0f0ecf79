// Helpers shared by the tests: temporary directories, pseudo-terminals,
// child processes, the receiver captures.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <termios.h>

#include <string>
#include <vector>

#include "platform/wait.h"

// Skips the test, visibly, for a reason outside the project (not root); under CI (CI set) the machine must have it, and fails.
#define NAVBEACON_SKIP(reason)                                         \
  do {                                                                 \
    if (getenv("CI") != nullptr) FAIL() << "CI cannot skip: " << (reason); \
    GTEST_SKIP() << (reason);                                          \
  } while (false)

// One moment over Munich as a receiver reports it: RMC with a fix, then GGA.
inline const std::string kMunichRmc =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
inline const std::string kMunichGga =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
inline const std::string kDamaged = "GPS Reciver recive damaged data!\n";

// Until `ready` holds, asked every 2 ms; false if it still does not after
// `timeout_ms`. Every wait of the tests for a state is this one.
bool Eventually(const std::function<bool()>& ready, int timeout_ms = 20000);

// Explanations are checked by their facts (a path, an errno's words, a
// pid, a reason word), not their wording: "" when `text` holds each fact,
// in order; otherwise the first fact missing and the text.
std::string MissingFacts(const std::string& text, const std::vector<std::string>& facts);

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& text);

// A directory under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A TempDir that is this process's XDG_RUNTIME_DIR, where ports are.
struct RuntimeDir : TempDir {
  RuntimeDir() { setenv("XDG_RUNTIME_DIR", path().c_str(), 1); }
};

// A pseudo-terminal: the test holds the master, the code under test opens
// the device.
class Pty {
 public:
  Pty();
  ~Pty() { CloseMaster(); }
  void Write(const std::string& text) const;
  // Until a reader has set the line up and dropped the text queued before
  // it (the flush the master is told of), so that what is written from then
  // on is read however slow the machine; false after 10 s. A write that
  // only waited for the line's speed could still be dropped by that flush.
  bool AwaitReader() const;
  // Until the reader has taken all that was written; false after 10 s.
  bool AwaitTaken() const;
  speed_t Speed() const;  // the line's input speed
  void CloseMaster();
  const std::string& device() const { return device_; }
  // The line's settings, shared with the device, are read and set here.
  int master() const { return master_; }

 private:
  int master_ = -1;
  std::string device_;
};

// A child process with standard input empty and its standard output and
// error collected in files; `env` entries (NAME=value) are added to this
// process's environment.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::vector<std::string>& env = {});
  ~Child();

  // Waits for the end; the exit status, 128 + signal, or -1 on timeout (the
  // child is then killed).
  int Wait(int timeout_ms = 20000);
  void Signal(int signal) const;
  // Waits until standard output holds `text`; false after `timeout_ms`.
  bool WaitForOutput(const std::string& text, int timeout_ms = 5000) const;
  std::string Stdout() const { return ReadWholeFile(files_.File("stdout")); }
  std::string Stderr() const { return ReadWholeFile(files_.File("stderr")); }
  pid_t pid() const { return pid_; }

 private:
  TempDir files_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Until process `pid` (0: this one) holds open a file whose path starts
// with `prefix` ("socket:" for any socket); false after `timeout_ms`.
bool AwaitOpenFile(pid_t pid, const std::string& prefix, int timeout_ms = 10000);

// A simulated receiver on a pseudo-terminal, and its device's path.
struct Receiver {
  explicit Receiver(std::vector<std::string> options);
  std::optional<Child> process;
  std::string device;
};

// The stand-in map application in its own process, its port open in the
// XDG_RUNTIME_DIR given.
std::unique_ptr<Child> StartMapHost(const std::string& runtime_dir,
                                    std::vector<std::string> options = {});

// A row of expected.tsv: the position in the first 9999 bytes (what one
// snapshot holds).
struct ExpectedCapture {
  std::string name;
  std::optional<double> latitude, longitude;
};

std::vector<ExpectedCapture> ReadExpectedCaptures(const std::string& dir);
