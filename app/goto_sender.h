// Sends --follow's gotos one at a time on a thread of its own, so that the
// source is read on while the map application takes its time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "gps/fix_stream.h"
#include "platform/scoped_fd.h"
#include "rexx/goto_command.h"

class GotoSender {
 public:
  // `print_position`: each position sent is printed as POSITION's line.
  GotoSender(int32_t zoom, bool print_position);
  ~GotoSender();
  GotoSender(const GotoSender&) = delete;
  GotoSender& operator=(const GotoSender&) = delete;

  // 0, or the negative errno of the descriptor fd() could not be made
  // with: no goto can then be sent.
  int error() const { return error_; }
  // Readable once a goto is done.
  int fd() const { return done_fd_.get(); }
  // A goto is being sent, or its result has not been taken.
  bool busy() const { return busy_; }

  // `print`: POSITION's line is printed (not for a position tried again).
  void Send(const StreamFix& fix, bool print);

  // The result of the goto sent, once it is done.
  std::optional<GotoResult> TakeResult();

 private:
  void Run();

  const int32_t zoom_;
  const bool print_position_;
  ScopedFd done_fd_;
  const int error_;
  bool busy_ = false;  // the caller's own
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::optional<StreamFix> job_;
  bool print_job_ = true;
  std::optional<GotoResult> result_;
  std::thread thread_;
};
