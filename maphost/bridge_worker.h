// The thread a slow bridge runs on, so that a map that is slow to answer
// never holds the port loop: gotos go in with Submit, and come out shown,
// with the bridge's reply, through TakeShown once fd() is readable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "maphost/bridge.h"
#include "platform/scoped_fd.h"

class BridgeWorker {
 public:
  // The bridge must outlive the worker. Throws std::system_error when no
  // thread or eventfd can be had.
  explicit BridgeWorker(SlowBridge& bridge);
  // Waits for the goto being shown, which its deadline bounds; a goto
  // still waiting is dropped unshown.
  ~BridgeWorker();
  BridgeWorker(const BridgeWorker&) = delete;
  BridgeWorker& operator=(const BridgeWorker&) = delete;

  // Hands over goto `id`, to be shown by `deadline`. At most one goto waits
  // while another is shown: the one this replaces is returned, and is
  // never shown.
  std::optional<uint64_t> Submit(uint64_t id, const MapGoto& where, int64_t deadline);

  // Readable while shown gotos are waiting to be taken.
  int fd() const { return ready_.get(); }
  // The gotos shown since the last call, with the bridge's replies.
  std::vector<std::pair<uint64_t, BridgeReply>> TakeShown();

 private:
  struct Job {
    uint64_t id;
    MapGoto where;
    int64_t deadline;
  };
  void Work();

  SlowBridge& bridge_;
  ScopedFd ready_;  // an eventfd
  std::mutex mutex_;  // guards what follows
  std::condition_variable wake_;
  std::optional<Job> waiting_;
  std::vector<std::pair<uint64_t, BridgeReply>> shown_;
  bool stopping_ = false;
  std::thread thread_;
};
