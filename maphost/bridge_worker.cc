#include "maphost/bridge_worker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

BridgeWorker::BridgeWorker(SlowBridge& bridge)
    : bridge_(bridge), ready_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!ready_) throw std::system_error(errno, std::generic_category(), "eventfd");
  thread_ = std::thread(&BridgeWorker::Work, this);
}

BridgeWorker::~BridgeWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

std::optional<uint64_t> BridgeWorker::Submit(uint64_t id, const MapGoto& where,
                                             int64_t deadline) {
  std::optional<uint64_t> replaced;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_) replaced = waiting_->id;
    waiting_ = Job{id, where, deadline};
  }
  wake_.notify_one();
  return replaced;
}

std::vector<std::pair<uint64_t, BridgeReply>> BridgeWorker::TakeShown() {
  uint64_t count;
  // Cleared before the list is taken: a goto shown in between sets it
  // again.
  while (read(ready_.get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(shown_, {});
}

void BridgeWorker::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || waiting_; });
    if (stopping_) return;
    const Job job = *std::exchange(waiting_, std::nullopt);
    lock.unlock();
    BridgeReply reply = bridge_.ShowBy(job.where, job.deadline);
    lock.lock();
    shown_.emplace_back(job.id, std::move(reply));
    const uint64_t one = 1;
    // Cannot fail short of 2^64 - 1 unread gotos.
    while (write(ready_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
}
