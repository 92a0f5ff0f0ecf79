#include "tests/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/scoped_fd.h"

bool Eventually(const std::function<bool()>& ready, int timeout_ms) {
  for (const int64_t deadline = MonotonicMs() + timeout_ms; !ready(); usleep(2000)) {
    if (MonotonicMs() > deadline) return false;
  }
  return true;
}

std::string MissingFacts(const std::string& text, const std::vector<std::string>& facts) {
  size_t at = 0;
  for (const std::string& fact : facts) {
    at = text.find(fact, at);
    if (at == std::string::npos) return "no \"" + fact + "\" (in order) in:\n" + text;
    at += fact.size();
  }
  return "";
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/navbeacon-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    throw std::runtime_error("posix_openpt");
  }
  device_ = ptsname(master_);
  termios settings;
  tcgetattr(master_, &settings);
  cfmakeraw(&settings);
  tcsetattr(master_, TCSANOW, &settings);
  // Packet mode: the device's flushes of its input reach the master.
  int on = 1;
  ioctl(master_, TIOCPKT, &on);
}

void Pty::Write(const std::string& text) const {
  for (size_t done = 0; done < text.size();) {
    ssize_t written = write(master_, text.data() + done, text.size() - done);
    if (written <= 0) throw std::runtime_error("pty write");
    done += static_cast<size_t>(written);
  }
}

bool Pty::AwaitReader() const {
  return Eventually([&] {
    pollfd told = {master_, POLLIN | POLLPRI, 0};
    unsigned char packet[512];  // a status byte, then what the device wrote
    return poll(&told, 1, 0) > 0 && read(master_, packet, sizeof packet) > 0 &&
           (packet[0] & TIOCPKT_FLUSHREAD);
  }, 10000);
}

bool Pty::AwaitTaken() const {
  // poll() on the device first moves what is on its way into its queue.
  const ScopedFd device(open(device_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  pollfd queued = {device.get(), POLLIN, 0};
  return device && Eventually([&] { return poll(&queued, 1, 0) == 0; }, 10000);
}

speed_t Pty::Speed() const {
  termios line;
  return tcgetattr(master_, &line) == 0 ? cfgetispeed(&line) : B0;
}

void Pty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

Child::Child(std::vector<std::string> argv, const std::vector<std::string>& env) {
  // env(1) adds the variables and then becomes the program.
  argv.insert(argv.begin(), env.begin(), env.end());
  argv.insert(argv.begin(), "/usr/bin/env");
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  const std::string files[] = {"/dev/null", files_.File("stdout"), files_.File("stderr")};
  pid_ = fork();
  if (pid_ != 0) return;
  // Not the test's signal mask nor its ignored SIGPIPE.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGINT, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  for (int fd = 0; fd < 3; ++fd) {
    dup2(open(files[fd].c_str(), O_CLOEXEC | (fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC), 0600), fd);
  }
  execv(args[0], args.data());
  _exit(127);
}

Child::~Child() {
  if (!status_) {
    kill(pid_, SIGKILL);
    Wait(5000);
  }
}

int Child::Wait(int timeout_ms) {
  int status;
  if (status_) return *status_;
  if (Eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms)) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    status_ = -1;
  }
  return *status_;
}

void Child::Signal(int signal) const { kill(pid_, signal); }

bool Child::WaitForOutput(const std::string& text, int timeout_ms) const {
  return Eventually([&] { return Stdout().find(text) != std::string::npos; }, timeout_ms);
}

bool AwaitOpenFile(pid_t pid, const std::string& prefix, int timeout_ms) {
  const std::string process = "/proc/" + (pid == 0 ? "self" : std::to_string(pid)),
                    fds = process + "/fd";
  return Eventually([&] {
    std::error_code error;  // a child not yet exec'd holds the test's files
    if (pid != 0 && std::filesystem::equivalent(process + "/exe", "/proc/self/exe", error)) return false;
    for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
      if (std::filesystem::read_symlink(fd, error).string().starts_with(prefix)) return true;
    }
    return false;
  }, timeout_ms);
}

Receiver::Receiver(std::vector<std::string> options) {
  options.insert(options.begin(), GPSSIM_BINARY);
  process.emplace(options);
  if (!process->WaitForOutput("\n")) throw std::runtime_error("gpssim");
  device = process->Stdout().substr(0, process->Stdout().find('\n'));
}

std::unique_ptr<Child> StartMapHost(const std::string& runtime_dir,
                                    std::vector<std::string> options) {
  options.insert(options.begin(), MAPHOST_BINARY);
  auto host = std::make_unique<Child>(options, std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime_dir});
  if (!host->WaitForOutput(" open at ")) {
    throw std::runtime_error("map host did not start: " + host->Stderr());
  }
  return host;
}

std::vector<ExpectedCapture> ReadExpectedCaptures(const std::string& dir) {
  std::vector<ExpectedCapture> captures;
  std::ifstream in(dir + "/expected.tsv");
  auto number = [](const std::string& text) {
    return text == "none" ? std::nullopt : std::optional<double>(std::stod(text));
  };
  // Past the header, the first four columns: name, bytes, latitude, longitude.
  std::string rest, name, bytes, latitude, longitude;
  for (std::getline(in, rest); in >> name >> bytes >> latitude >> longitude; std::getline(in, rest)) {
    captures.push_back({name, number(latitude), number(longitude)});
  }
  return captures;
}
