#include "bench/follow_bench.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "gps/nmea.h"
#include "rexx/public_port.h"
#include "tests/test_support.h"
#include "tests/usb_bus.h"

namespace {

// A fix of its own for each `i`: the time and the minutes of latitude move.
std::string Fix(int i) {
  char body[100];
  snprintf(body, sizeof body, "GPRMC,%06d.%02d,A,48%02d.%03d,N,01131.000,E,,,230394,,",
           i / 100 % 1000000, i % 100, i / 1000 % 60, i % 1000);
  return FrameNmeaSentence(body);
}

size_t Count(const std::string& text, const std::string& word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    ++count;
  }
  return count;
}

// Resident memory (KiB) and open descriptors of a process.
struct Footprint {
  long rss_kib = 0, fds = 0;
};

Footprint Measure(pid_t pid) {
  Footprint footprint;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) footprint.rss_kib = std::stol(line.substr(6));
  }
  for (const auto& fd : std::filesystem::directory_iterator(
           "/proc/" + std::to_string(pid) + "/fd")) {
    (void)fd;
    ++footprint.fds;
  }
  return footprint;
}

void Report(const char* what, Footprint before, Footprint after) {
  printf("  %-44s RSS %ld -> %ld KiB, descriptors %ld -> %ld\n", what, before.rss_kib,
         after.rss_kib, before.fds, after.fds);
}

}  // namespace

namespace {

// CPU time of a process so far, in ms (the kernel's ticks).
double CpuMs(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; fields >> field && i <= 15; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  }
  return ticks * 1000.0 / sysconf(_SC_CLK_TCK);
}

// The gotos of one follow run at a 1 Hz receiver, against the ends of the
// RMC sentences (CLOCK_REALTIME ns) the receiver logs to `rmcs`. The
// receiver is a pseudo-terminal, which has no USB check: navbeacon runs
// without the simulated bus, whose preload would add its own work to every
// ioctl of the reader.
int Follow(const char* how, int gotos, const std::string& device, const TempDir& dir,
           HostPort& port, const std::function<std::vector<int64_t>()>& rmcs) {
  Child run({NAVBEACON_BINARY, "--follow", device, "0", "9600"},
            {"XDG_RUNTIME_DIR=" + dir.path()});
  std::vector<int64_t> received;
  double cpu_first = 0;
  int64_t first_ms = 0;
  while (static_cast<int>(received.size()) < gotos && WaitPort(port, 5000)) {
    HostMsg message;
    if (!GetMsg(port, message)) continue;  // a connection that brought no message
    received.push_back(RealtimeNs());
    const std::string_view ok = "OK";
    ReplyMsg(message, 0, &ok);
    if (received.size() == 1) {
      cpu_first = CpuMs(run.pid());
      first_ms = MonotonicMs();
    }
  }
  const double cpu_ms = CpuMs(run.pid()) - cpu_first;
  const double wall_s = (MonotonicMs() - first_ms) / 1e3;
  run.Signal(SIGINT);
  run.Wait();
  if (static_cast<int>(received.size()) < gotos) {
    fprintf(stderr, "only %zu gotos arrived\n", received.size());
    return 1;
  }
  // Each goto against the last RMC sentence that ended before it.
  const std::vector<int64_t> ends = rmcs();
  std::vector<double> delays;
  for (int64_t at : received) {
    const auto after = std::upper_bound(ends.begin(), ends.end(), at);
    if (after != ends.begin()) delays.push_back((at - *(after - 1)) / 1e6);
  }
  const Stats stats = Summarise(delays);
  printf("following a 1 Hz receiver at 9600 baud, %s, %d gotos:\n"
         "  goto received - end of the RMC sentence: median %.2f ms, p95 %.2f ms, "
         "max %.2f ms\n"
         "  CPU after the first goto: %.0f ms in %.1f s, %.3f%% of a core, %.2f s an hour\n",
         how, gotos, stats.median, stats.p95, stats.max, cpu_ms, wall_s, cpu_ms / wall_s / 10,
         cpu_ms / wall_s * 3.6);
  return 0;
}

}  // namespace

int FollowLatency(int gotos) {
  TempDir dir;
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  std::unique_ptr<HostPort> port;
  if (AddPort("KARTOVELL.1", port) < 0) return 1;
  // The simulator writes each byte when the line would carry it, as a
  // UART without a FIFO hands them over: a wake-up a byte.
  const std::string trace = dir.File("trace");
  int status;
  {
    Receiver receiver({"--baud", "9600", "--trace", trace});
    status = Follow("a byte at a time", gotos, receiver.device, dir, *port, [&] {
      std::vector<int64_t> ends;
      std::ifstream lines(trace);
      std::string word;
      long long ns;
      while (lines >> word >> ns) ends.push_back(ns);
      return ends;
    });
  }
  if (status != 0) return status;
  // A USB receiver hands its text over in packets: here a sentence at a
  // time, each when its last byte is due at 9600 baud.
  Pty pty;
  std::vector<int64_t> ends;
  std::mutex mutex;
  std::atomic<bool> stop{false};
  std::thread receiver([&] {
    for (int second = 0; !stop; ++second) {
      const int64_t start = (RealtimeNs() / 1000000000 + 1) * 1000000000;
      std::string burst = SatelliteSentences() + Fix(second);
      int64_t due = start;
      for (size_t at = 0; at < burst.size() && !stop;) {
        const size_t end = burst.find('\n', at) + 1;
        due += static_cast<int64_t>(end - at) * 1000000;  // 1 ms a byte
        while (RealtimeNs() < due) usleep(200);
        if (end == burst.size()) {  // the RMC sentence, handed over now
          std::lock_guard<std::mutex> lock(mutex);
          ends.push_back(RealtimeNs());
        }
        if (write(pty.master(), burst.data() + at, end - at) < 0) return;
        at = end;
      }
    }
  });
  status = Follow("a sentence at a time", gotos, pty.device(), dir, *port, [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return ends;
  });
  stop = true;
  receiver.join();
  return status;
}

int FollowFlat(int cycles) {
  TempDir dir;
  UsbBus bus;
  bus.Attach("ublox");
  auto host = StartMapHost(dir.path());
  const std::string fifo = dir.File("fifo");
  mkfifo(fifo.c_str(), 0600);
  Child pipe_run({NAVBEACON_BINARY, "--follow=0.1", fifo, "0", "0"}, bus.Env(dir.path()));
  FILE* writer = fopen(fifo.c_str(), "w");
  if (writer == nullptr) return 1;
  auto write_fixes = [&](int from, int to) {
    for (int i = from; i < to; ++i) fputs(Fix(i).c_str(), writer);
    fflush(writer);
  };
  write_fixes(0, 1000);
  if (!Eventually([&] { return host->Stdout().find("goto") != std::string::npos; })) return 1;
  usleep(500000);
  const Footprint start = Measure(pipe_run.pid());
  const int64_t flood_ms = MonotonicMs();
  write_fixes(1000, 100000);
  const double flood_s = (MonotonicMs() - flood_ms) / 1e3;
  usleep(500000);
  const Footprint flooded = Measure(pipe_run.pid());
  for (int i = 0; i < cycles; ++i) {
    host->Signal(SIGTERM);
    host->Wait();
    write_fixes(100000 + i, 100001 + i);
    if (!Eventually([&] { return Count(pipe_run.Stderr(), "no map application") > size_t(i); })) {
      fprintf(stderr, "restart %d: %s\n", i, pipe_run.Stderr().c_str());
      return 1;
    }
    host = StartMapHost(dir.path());
    if (!Eventually([&] { return host->Stdout().find("goto") != std::string::npos; })) return 1;
  }
  const Footprint restarted = Measure(pipe_run.pid());
  fclose(writer);
  pipe_run.Wait();

  // The receiver behind a link, unplugged and plugged in again.
  const std::string link = dir.File("gps");
  auto pty = std::make_unique<Pty>();
  if (symlink(pty->device().c_str(), link.c_str()) != 0) return 1;
  Child tty_run({NAVBEACON_BINARY, "--follow=0.1", link, "0", "9600"}, bus.Env(dir.path()));
  if (!pty->AwaitReader()) return 1;
  pty->Write(Fix(1));
  if (!Eventually([&] { return Count(host->Stdout(), "goto") >= 2; })) return 1;
  const Footprint plugged = Measure(tty_run.pid());
  for (int i = 0; i < cycles; ++i) {
    pty->CloseMaster();
    if (!Eventually([&] { return Count(tty_run.Stderr(), "went away") > size_t(i); })) return 1;
    pty = std::make_unique<Pty>();
    const std::string next = link + ".new";
    if (symlink(pty->device().c_str(), next.c_str()) != 0 ||
        rename(next.c_str(), link.c_str()) != 0) {
      return 1;
    }
    if (!Eventually([&] { return Count(tty_run.Stderr(), "is back") > size_t(i); })) return 1;
  }
  if (!pty->AwaitReader()) return 1;
  pty->Write(Fix(2));
  if (!Eventually([&] { return Count(host->Stdout(), "goto") >= 3; })) return 1;
  const Footprint unplugged = Measure(tty_run.pid());
  tty_run.Signal(SIGINT);
  tty_run.Wait();
  printf("a follow run's footprint:\n");
  char what[80];
  snprintf(what, sizeof what, "99,000 fixes from a FIFO, written in %.2f s", flood_s);
  Report(what, start, flooded);
  snprintf(what, sizeof what, "then %d map host restarts", cycles);
  Report(what, flooded, restarted);
  snprintf(what, sizeof what, "another, across %d unplugs of its receiver", cycles);
  Report(what, plugged, unplugged);
  return 0;
}
