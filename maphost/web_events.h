// The web map's live side: the last goto, the track of recent ones and the
// open Server-Sent Events streams, each fed by the HTTP server's polling
// thread. A stream with nothing to send is suspended, and a watcher thread
// ends it the moment its browser goes away, so that its slot is free at
// once, or wakes it for a keep-alive comment.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/scoped_fd.h"

struct MHD_Connection;
struct MHD_Response;

class EventHub {
 public:
  // At most this many streams at once: a page holds one.
  static constexpr size_t kMaxStreams = 8;
  // A stream this many gotos behind is dropped: its browser reconnects
  // and starts again from the last goto, instead of the host queueing for
  // it without end.
  static constexpr size_t kMaxBehind = 32;
  // The positions a new stream gets first, so that it shows the track.
  static constexpr size_t kTrackLength = 100;

  EventHub();  // throws std::system_error when it has no descriptors
  ~EventHub();
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;

  // Publishes a goto (its JSON) to every stream and for /position.
  void Publish(const std::string& json);
  std::string Last();  // "null" before the first goto

  // A stream's response for `connection`, or nullptr when kMaxStreams are
  // open. Only from the server's request handler.
  MHD_Response* OpenStream(MHD_Connection* connection);
  // Ends every stream (each is resumed, and writes no more) and the
  // watcher: before the server stops, which must not find one suspended.
  void Close();

  struct Stream;

 private:
  static ssize_t Read(void* stream, uint64_t, char* buffer, size_t size);
  static void Free(void* stream);
  void Resume(Stream& stream);  // with mutex_ held
  void Wake();  // the watcher looks again at the streams and closing_
  void Watch();

  std::mutex mutex_;  // guards what follows
  std::string last_ = "null";
  std::deque<std::string> track_;
  std::map<uint64_t, std::shared_ptr<Stream>> streams_;
  uint64_t next_id_ = 1;
  bool closing_ = false;

  ScopedFd epoll_;  // the suspended streams' sockets, and wake_
  ScopedFd wake_;   // an eventfd that ends the watcher
  std::thread watcher_;
};
