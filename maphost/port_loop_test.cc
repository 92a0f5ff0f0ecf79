#include "maphost/port_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "rexx/rexx_command.h"
#include "tests/test_support.h"

namespace {

// Counts the gotos the loop hands it, on the loop itself.
struct Recorder : MapBridge {
  BridgeReply Show(const MapGoto&) override { return ++seen, BridgeReply{}; }
  std::atomic<size_t> seen = 0;
};

// A map that shows nothing until the test lets it, or its deadline passes.
class HeldMap : public SlowBridge {
 public:
  BridgeReply ShowBy(const MapGoto& where, int64_t deadline) override {
    std::unique_lock<std::mutex> lock(mutex);
    started.push_back(where.latitude);
    changed.notify_all();
    if (!changed.wait_for(lock, std::chrono::milliseconds(RemainingMs(deadline)),
                          [this] { return released; })) {
      return {20, "held past its deadline"};
    }
    return {};
  }
  int BoundMs() const override { return 8000; }
  void AwaitStarted(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return started.size() >= count; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<double> started;
  bool released = false;
};

class PortLoopTest : public testing::Test {
 protected:
  // A test that failed half way leaves the loop short of its count.
  ~PortLoopTest() override {
    while (loop_.joinable() && !done_) Send("end").wait();
    if (loop_.joinable()) loop_.join();
  }
  // Serves the port LOOP on a thread until `count` commands are taken.
  void Serve(long count) {
    ASSERT_EQ(AddPort("LOOP", port_), 0);
    options_.count = count;
    loop_ = std::thread([this] {
      RunPortLoop(*port_, options_, bridges_);
      done_ = true;
    });
  }
  static std::future<RexxCommandResult> Send(const std::string& command) {
    return std::async(std::launch::async, [command] {
      return SendRexxCommand("LOOP", command.c_str(), true, 10000);
    });
  }

  RuntimeDir runtime_;
  std::unique_ptr<HostPort> port_;
  PortLoopOptions options_;
  MapBridges bridges_;
  std::thread loop_;
  std::atomic<bool> done_ = false;
};

// A client that connects and says nothing is closed once it has been
// silent for 2 s, and not before.
TEST_F(PortLoopTest, ASilentConnectionIsClosedAfterTwoSeconds) {
  Serve(1);
  const int64_t connected = MonotonicMs();
  MsgPort silent = FindPort("LOOP", connected + 1000);
  ASSERT_TRUE(silent);
  ASSERT_EQ(WaitReadable(silent.connection.get(), 10000), kWaitReady);
  char byte;
  EXPECT_EQ(recv(silent.connection.get(), &byte, 1, MSG_DONTWAIT), 0);  // closed
  EXPECT_GE(MonotonicMs() - connected, 1900);
  EXPECT_EQ(Send("bye").get().result1, 0);
}

// While a slow map shows one goto, other commands are answered at once;
// of the gotos that come meanwhile only the newest waits for the map, the
// others being answered as superseded, and the map shows it next.
TEST_F(PortLoopTest, ASlowMapHoldsOnlyItsGotoAndTheNewestWaitingOneTakesOver) {
  auto recorder = std::make_unique<Recorder>();
  auto held = std::make_unique<HeldMap>();
  Recorder& arrived = *recorder;
  HeldMap& map = *held;
  bridges_.push_back(std::move(recorder));
  bridges_.push_back(std::move(held));
  Serve(5);
  auto first = Send("goto 1 0 1");
  map.AwaitStarted(1);
  std::vector<std::future<RexxCommandResult>> waiting;
  for (int latitude = 2; latitude <= 4; ++latitude) {
    waiting.push_back(Send("goto " + std::to_string(latitude) + " 0 1"));
    ASSERT_TRUE(Eventually([&] { return arrived.seen >= static_cast<size_t>(latitude); }));
  }
  for (int i = 0; i < 2; ++i) {
    const RexxCommandResult older = waiting[i].get();
    EXPECT_EQ(older.result1, kGotoSuperseded);
    EXPECT_STREQ(older.error_text.get(), "superseded by a newer goto");
  }
  EXPECT_EQ(Send("say hi").get().result1, 0);
  map.Release();
  EXPECT_EQ(first.get().result1, 0);
  EXPECT_EQ(waiting[2].get().result1, 0);
  loop_.join();
  EXPECT_EQ(map.started, (std::vector<double>{1, 4}));
}

}  // namespace
