#include "tests/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
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

ScopedEnv::ScopedEnv(const char* name, const std::string& value)
    : name_(name) {
  if (const char* old = getenv(name)) old_ = old;
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
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
}

Pty::~Pty() { CloseMaster(); }

void Pty::Write(const std::string& text) const {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(master_, text.data() + done, text.size() - done);
    if (written <= 0) throw std::runtime_error("pty write");
    done += static_cast<size_t>(written);
  }
}

void Pty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

Child::Child(const std::vector<std::string>& argv,
             const std::vector<std::string>& env,
             const std::string& stdin_text) {
  WriteWholeFile(files_.File("stdin"), stdin_text);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, files_.File("stdin").c_str(),
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, files_.File("stdout").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, files_.File("stderr").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string name = std::string(*entry).substr(0, strcspn(*entry, "="));
    bool replaced = false;
    for (const std::string& extra : env) {
      if (extra.substr(0, extra.find('=')) == name) replaced = true;
    }
    if (!replaced) environment.push_back(*entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<char*> args, envp;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  // The child must not inherit a blocked or ignored SIGINT from the test.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int error = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(),
                          envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("posix_spawn " + argv[0]);
}

Child::~Child() {
  if (!status_) {
    kill(pid_, SIGKILL);
    Wait(5000);
  }
}

int Child::Wait(int timeout_ms) {
  if (status_) return *status_;
  const int64_t deadline = MonotonicMs() + timeout_ms;
  while (true) {
    int status;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status)
                                  : 128 + WTERMSIG(status);
      return *status_;
    }
    if (MonotonicMs() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      status_ = -1;
      return -1;
    }
    usleep(2000);
  }
}

void Child::Signal(int signal) const { kill(pid_, signal); }

bool Child::WaitForOutput(const std::string& text, int timeout_ms) const {
  const int64_t deadline = MonotonicMs() + timeout_ms;
  while (Stdout().find(text) == std::string::npos) {
    if (MonotonicMs() > deadline) return false;
    usleep(2000);
  }
  return true;
}

std::string Child::Stdout() const { return ReadWholeFile(files_.File("stdout")); }
std::string Child::Stderr() const { return ReadWholeFile(files_.File("stderr")); }

MapHost::MapHost(const std::string& runtime_dir,
                 const std::vector<std::string>& options) {
  std::vector<std::string> argv = {MAPHOST_BINARY};
  argv.insert(argv.end(), options.begin(), options.end());
  child_.emplace(argv, std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime_dir});
  if (!child_->WaitForOutput(" open at ")) {
    throw std::runtime_error("map host did not start: " + child_->Stderr());
  }
}

std::string SharedNmeaDir() {
  struct stat info;
  if (stat(SHARED_NMEA_DIR "/expected.tsv", &info) != 0) return "";
  return SHARED_NMEA_DIR;
}

std::vector<ExpectedCapture> ReadExpectedCaptures(const std::string& dir) {
  std::vector<ExpectedCapture> captures;
  std::ifstream in(dir + "/expected.tsv");
  std::string line;
  std::getline(in, line);  // the header
  auto number = [](const std::string& text) -> std::optional<double> {
    if (text == "none") return std::nullopt;
    return std::stod(text);
  };
  while (std::getline(in, line)) {
    std::vector<std::string> columns;
    std::stringstream row(line);
    std::string column;
    while (std::getline(row, column, '\t')) columns.push_back(column);
    if (columns.size() < 8) continue;
    captures.push_back({columns[0], number(columns[2]), number(columns[3]),
                        columns[4], number(columns[5]), number(columns[6]),
                        columns[7]});
  }
  return captures;
}
