// make bench: what the README's figures come from.
//
//   navbeacon_bench                  Google Benchmark: parse, template, run
//   navbeacon_bench --parse-times N  N parses of one snapshot (callgrind)
//   navbeacon_bench --latency N      goto delay after the RMC line, N runs
//   navbeacon_bench --launch N       launch to goto, N runs through a real
//                                    gpsd -n and N from the tty
//   navbeacon_bench --break N        Ctrl-C to exit, N runs
//   navbeacon_bench --window N       lateness of the empty window, N runs
//   navbeacon_bench --run-cost N     CPU time and peak memory of N runs
//   navbeacon_bench --marble N       N gotos shown by Marble (on the session
//                                    bus: tools/with-marble.sh)
//   navbeacon_bench --follow N       --follow: N gotos from a 1 Hz receiver
//   navbeacon_bench --follow-flat N  --follow's footprint over N restarts
//                                    and N unplugs (bench/follow_bench.cc)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/follow_bench.h"
#include "app/position_run.h"
#include "gps/nmea.h"
#include "gps/position.h"
#include "rexx/public_port.h"
#include "platform/read_args.h"
#include "rexx/goto_command.h"
#include "tests/test_support.h"
#include "tests/usb_bus.h"

extern char** environ;

namespace {

// A snapshot as a receiver fills it: bursts of GGA, GSA, GSV and RMC, cut
// at 9999 bytes.
std::string Snapshot() {
  std::string text;
  for (int second = 0; text.size() < kNmeaBufferSize - 1; ++second) {
    char time[16];
    snprintf(time, sizeof time, "1200%02d.00", second % 60);
    text += FrameNmeaSentence(std::string("GPGGA,") + time +
                              ",4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,");
    text += SatelliteSentences();
    text += FrameNmeaSentence(std::string("GPRMC,") + time +
                              ",A,4807.0380,N,01131.0000,E,020.4,090.0,061226,,,A");
  }
  text.resize(kNmeaBufferSize - 1);
  return text;
}

void BM_ParseRmcPosition(benchmark::State& state) {
  const std::string text = Snapshot();
  double latitude, longitude;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ParseRmcPosition(text, latitude, longitude));
  }
  state.SetBytesProcessed(state.iterations() * text.size());
  state.counters["per_byte"] = benchmark::Counter(
      static_cast<double>(state.iterations() * text.size()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ParseRmcPosition);

void BM_ReadArgs(benchmark::State& state) {
  std::vector<const char*> words = {"/dev/ttyACM", "0", "9600", "ZOOM=12",
                                    "VERBOSE", "position"};
  for (auto _ : state) {
    ArgSlot slots[6];
    benchmark::DoNotOptimize(
        ReadArgs("DEVICE/A,UNIT/A,BAUDRATE/A,ZOOM/N,VERBOSE/S,POSITION/S",
                 slots, words, stdin, stdout));
  }
}
BENCHMARK(BM_ReadArgs);

// The run over a recorded snapshot: open, read, parse; the exchange stood
// in for.
void BM_RunOverFile(benchmark::State& state) {
  TempDir dir;
  WriteWholeFile(dir.File("log"), Snapshot());
  const std::string log = dir.File("log");
  struct : LinuxRunServices {
    GotoResult SendGotoCommand(int32_t, double, double) override {
      return {GotoOutcome::kSent, {}};
    }
  } services;
  CommandArgs args{log.c_str(), "0", "9600", nullptr, false, false};
  for (auto _ : state) {
    benchmark::DoNotOptimize(RunPositionUpdate(args, services));
  }
}
BENCHMARK(BM_RunOverFile);

// --- whole-program measurements --------------------------------------------

// USB for the children: a bus holding the u-blox receiver.
class ReceiverBus : public UsbBus {
 public:
  ReceiverBus() { Attach("ublox"); }
};

// What runs at random phases of the receiver's cycle took, in ms.
struct Runs {
  std::vector<double> overheads;  // goto received - end of the RMC sentence
  std::vector<double> launches;   // goto received - process start
  std::vector<double> wholes;     // process start to exit
  int served_by_fix = 0;          // runs that took gpsd's current fix
};

// With `via_gpsd`, a real gpsd that keeps the receiver open (-n) holds the
// pseudo-terminal and navbeacon reads through it (gpsd://localhost:2947):
// a run takes gpsd's current fix when it is fresh, else the next RMC.
// False when a run fails.
bool Latency(int runs, bool via_gpsd, Runs& out) {
  TempDir dir;
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  ReceiverBus bus;
  std::unique_ptr<HostPort> port;
  if (AddPort("KARTOVELL.1", port) < 0) return false;
  const std::string trace = dir.File("trace");
  Child receiver({GPSSIM_BINARY, "--baud", "9600", "--trace", trace});
  if (!receiver.WaitForOutput("/dev/")) return false;
  std::string pty = receiver.Stdout();
  pty.resize(pty.find('\n'));
  std::optional<Child> gpsd;
  std::string device = pty;
  if (via_gpsd) {
    gpsd.emplace(std::vector<std::string>{"/usr/sbin/gpsd", "-N", "-n", "-b",
                                          "-S", "2947", "-F",
                                          dir.File("gpsd"), pty});
    device = "gpsd://localhost:2947";
    sleep(2);  // gpsd settles on the receiver's speed and talker
  }

  std::mt19937 random(12345);
  std::uniform_int_distribution<int64_t> phase(0, 999999999);
  for (int i = 0; i < runs; ++i) {
    const int64_t second = RealtimeNs() / 1000000000 + 1;
    const int64_t start_at = second * 1000000000 + phase(random);
    while (RealtimeNs() < start_at) usleep(200);
    const int64_t started = RealtimeNs();
    const int64_t started_ms = MonotonicMs();
    Child run({NAVBEACON_BINARY, device, "0", "9600"}, bus.Env(dir.path()));
    int64_t received = 0;
    while (received == 0 && WaitPort(*port, 5000)) {
      HostMsg message;
      if (!GetMsg(*port, message)) continue;  // a connection that brought no message
      received = RealtimeNs();
      const std::string_view ok = "OK";
      ReplyMsg(message, 0, &ok);
    }
    const int status = run.Wait();
    const bool fix = run.Stderr().find("current fix") != std::string::npos;
    int64_t rmc = 0;
    std::ifstream lines(trace);
    std::string word;
    long long ns;
    while (lines >> word >> ns) {
      if (ns >= started) {
        rmc = ns;
        break;
      }
    }
    if (status != 0 || received == 0 || (rmc == 0 && !fix)) {
      fprintf(stderr, "run %d: status %d, no goto or no RMC\n", i, status);
      return false;
    }
    out.served_by_fix += fix;
    if (!fix) out.overheads.push_back((received - rmc) / 1e6);
    out.launches.push_back((received - started) / 1e6);
    out.wholes.push_back(static_cast<double>(MonotonicMs() - started_ms));
  }
  return true;
}

int RmcLatency(int runs) {
  Runs tty;
  if (!Latency(runs, false, tty)) return 1;
  Stats overhead = Summarise(tty.overheads), whole = Summarise(tty.wholes);
  printf("latency from the tty over %d runs at random phases of the 1 s "
         "cycle, 9600 baud:\n"
         "  goto received - end of the RMC sentence:   median %.2f ms, "
         "p95 %.2f ms, max %.2f ms\n"
         "  whole run (spawn to exit):                 median %.0f ms, "
         "p95 %.0f ms, max %.0f ms\n",
         runs, overhead.median, overhead.p95, overhead.max, whole.median,
         whole.p95, whole.max);
  return 0;
}

// Launch to goto received, side by side: through gpsd -n, which serves its
// current fix when it is fresh, and from the tty, which waits for the next
// RMC.
int LaunchToGoto(int runs) {
  Runs gpsd, tty;
  if (!Latency(runs, true, gpsd) || !Latency(runs, false, tty)) return 1;
  const Stats fix = Summarise(gpsd.launches), next = Summarise(tty.launches);
  printf("launch to goto received, %d runs each at random phases of the 1 s "
         "cycle, 9600 baud:\n"
         "  through gpsd -n (its current fix, %d of %d runs): p50 %.1f ms, "
         "p95 %.1f ms, max %.1f ms\n"
         "  from the tty (the next RMC):                    p50 %.1f ms, "
         "p95 %.1f ms, max %.1f ms\n",
         runs, gpsd.served_by_fix, runs, fix.median, fix.p95, fix.max,
         next.median, next.p95, next.max);
  if (!gpsd.overheads.empty()) {
    const Stats rest = Summarise(gpsd.overheads);
    printf("  gpsd runs that listened: goto received - end of the RMC "
           "sentence: median %.2f ms, max %.2f ms\n",
           rest.median, rest.max);
  }
  return 0;
}

int BreakLatency(int runs) {
  TempDir dir;
  ReceiverBus bus;
  std::vector<double> delays;
  for (int i = 0; i < runs; ++i) {
    Pty pty;
    Child run({NAVBEACON_BINARY, pty.device(), "0", "9600"},
              bus.Env(dir.path()));
    usleep(300000);
    timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    run.Signal(SIGINT);
    int status;
    waitpid(run.pid(), &status, 0);
    clock_gettime(CLOCK_MONOTONIC, &after);
    delays.push_back((after.tv_sec - before.tv_sec) * 1e3 +
                     (after.tv_nsec - before.tv_nsec) / 1e6);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 20) {
      fprintf(stderr, "run %d did not end with status 20\n", i);
      return 1;
    }
  }
  Stats stats = Summarise(delays);
  printf("Ctrl-C in the serial window to exit, %d runs: median %.2f ms, "
         "p95 %.2f ms, max %.2f ms\n",
         runs, stats.median, stats.p95, stats.max);
  return 0;
}

int WindowLateness(int runs) {
  std::vector<double> lateness;
  for (int i = 0; i < runs; ++i) {
    Pty pty;
    NmeaBuffer buffer = {};
    SnapshotReport report;
    const int64_t start = MonotonicMs();
    ReadSerialSnapshot(buffer, pty.device().c_str(), 0, 9600, report);
    lateness.push_back(static_cast<double>(MonotonicMs() - start -
                                           kSnapshotWindowMs));
  }
  Stats stats = Summarise(lateness);
  printf("an empty %d ms window ends late by: median %.0f ms, max %.0f ms "
         "(%d runs)\n",
         kSnapshotWindowMs, stats.median, stats.max, runs);
  return 0;
}

int RunCost(int runs) {
  TempDir dir;
  WriteWholeFile(dir.File("log"), Snapshot());
  ReceiverBus bus;
  auto host = StartMapHost(dir.path());
  std::vector<double> cpu, rss;
  for (int i = 0; i < runs; ++i) {
    Child run({NAVBEACON_BINARY, dir.File("log"), "0", "9600"},
              bus.Env(dir.path()));
    int status;
    struct rusage usage;
    wait4(run.pid(), &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    cpu.push_back((usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3);
    rss.push_back(usage.ru_maxrss / 1024.0);
  }
  Stats time = Summarise(cpu), memory = Summarise(rss);
  printf("one run over a 9999-byte file, goto included (%d runs, under\n"
         "umockdev's preload): CPU median %.1f ms, peak RSS median %.1f MiB\n",
         runs, time.median, memory.median);
  return 0;
}

// From sending each goto to navbeacon-maphost --marble to its reply, which
// comes once Marble's centre reads back at the goto.
int MarbleGotos(int gotos) {
  TempDir dir;
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  auto host = StartMapHost(dir.path(), {"--marble"});
  std::vector<double> delays;
  for (int i = 0; i < gotos; ++i) {
    const int64_t start = RealtimeNs();
    // About 1 km apart, so that every goto moves the centre.
    if (SendGotoCommand(12, 48.1 + 0.01 * i, 11.5 + 0.01 * (i % 2)).outcome !=
        GotoOutcome::kSent) {
      fprintf(stderr, "goto %d failed: %s\n", i, host->Stdout().c_str());
      return 1;
    }
    delays.push_back((RealtimeNs() - start) / 1e6);
  }
  Stats stats = Summarise(delays);
  printf("goto sent to Marble's centre read back there and the reply, %d "
         "gotos:\n  median %.1f ms, p95 %.1f ms, max %.1f ms\n",
         gotos, stats.median, stats.p95, stats.max);
  return 0;
}

int ParseTimes(int times) {
  const std::string text = Snapshot();
  double latitude = 0, longitude = 0;
  int found = 0;
  for (int i = 0; i < times; ++i) {
    found += ParseRmcPosition(text, latitude, longitude);
  }
  return found == times ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && argv[1][0] == '-' && argv[1][1] == '-' &&
      strncmp(argv[1], "--benchmark", 11) != 0) {
    const std::string mode = argv[1];
    const int count = atoi(argv[2]);
    if (mode == "--parse-times") return ParseTimes(count);
    if (mode == "--latency") return RmcLatency(count);
    if (mode == "--launch") return LaunchToGoto(count);
    if (mode == "--break") return BreakLatency(count);
    if (mode == "--window") return WindowLateness(count);
    if (mode == "--run-cost") return RunCost(count);
    if (mode == "--marble") return MarbleGotos(count);
    if (mode == "--follow") return FollowLatency(count);
    if (mode == "--follow-flat") return FollowFlat(count);
    fprintf(stderr, "unknown mode %s\n", argv[1]);
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
