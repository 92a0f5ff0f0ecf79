#include "app/goto_sender.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "app/position_run.h"
#include "platform/console.h"
#include "platform/errors.h"

GotoSender::GotoSender(int32_t zoom, bool print_position)
    : zoom_(zoom),
      print_position_(print_position),
      done_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      error_(done_fd_ ? 0 : NegativeErrno()) {
  // Without its descriptor no goto could be taken back: no thread.
  if (error_ == 0) thread_ = std::thread([this] { Run(); });
}

GotoSender::~GotoSender() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void GotoSender::Send(const StreamFix& fix, bool print) {
  busy_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = fix;
    print_job_ = print;
  }
  wake_.notify_one();
}

std::optional<GotoResult> GotoSender::TakeResult() {
  uint64_t count;
  if (read(done_fd_.get(), &count, sizeof count) < 0) {
    // Nothing was done yet.
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<GotoResult> result = std::move(result_);
  result_.reset();
  if (result) busy_ = false;
  return result;
}

void GotoSender::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stop_ || job_; });
    if (stop_) return;
    const StreamFix fix = *job_;
    const bool print = print_job_;
    job_.reset();
    lock.unlock();
    if (print_position_ && print) {
      PrintPosition(fix.latitude, fix.longitude);
      FlushStandardOutput();
    }
    GotoResult result = SendGotoCommand(zoom_, fix.latitude, fix.longitude,
                                        kMapReplyTimeoutMs, false);
    lock.lock();
    result_ = std::move(result);
    const uint64_t one = 1;
    if (write(done_fd_.get(), &one, sizeof one) < 0) {
      // An eventfd takes a write unless its count is full.
    }
  }
}
