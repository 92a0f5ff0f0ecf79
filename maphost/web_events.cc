#include "maphost/web_events.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include <microhttpd.h>

#include "platform/errors.h"
#include "platform/wait.h"

namespace {
// A comment on a quiet stream finds browsers that went away behind a
// proxy or a dead network, which send no FIN.
constexpr int64_t kKeepAliveMs = 15000;
}  // namespace

struct EventHub::Stream {
  EventHub* hub;
  uint64_t id;
  MHD_Connection* connection;
  int fd;                           // the connection's socket
  std::deque<std::string> pending;  // events not yet written
  size_t written = 0;               // of pending.front()
  bool suspended = false;           // waiting in the watcher
  int64_t quiet_since = 0;          // MonotonicMs of the last write
  bool keep_alive = false;          // a comment is due
  bool ended = false;               // dropped, or its browser went away
};

EventHub::EventHub() {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = 0;  // streams' ids start at 1
  epoll_ = ScopedFd(epoll_create1(EPOLL_CLOEXEC));
  int error = epoll_ ? 0 : NegativeErrno();
  if (error == 0) {
    wake_ = ScopedFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) error = NegativeErrno();
  }
  if (error == 0 && epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event) != 0) {
    error = NegativeErrno();
  }
  if (error != 0) throw std::system_error(-error, std::generic_category(), "epoll");
  watcher_ = std::thread([this] { Watch(); });
}

EventHub::~EventHub() {
  Close();
}

void EventHub::Publish(const std::string& json) {
  std::vector<MHD_Connection*> resumed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last_ = json;
    track_.push_back(json);
    if (track_.size() > kTrackLength) track_.pop_front();
    for (auto& [id, stream] : streams_) {
      if (stream->pending.size() >= kMaxBehind) {
        stream->ended = true;
      } else {
        stream->pending.push_back("data: " + json + "\n\n");
      }
      if (stream->suspended) {
        Resume(*stream);
        resumed.push_back(stream->connection);
      }
    }
  }
  // A suspended connection stays with us until resumed: the server
  // neither reads, writes nor closes it.
  for (MHD_Connection* connection : resumed) MHD_resume_connection(connection);
}

std::string EventHub::Last() {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

MHD_Response* EventHub::OpenStream(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_ || streams_.size() >= kMaxStreams || info == nullptr) return nullptr;
  // The kernel's buffer, left to grow, would hold some 40,000 events for a
  // browser that stopped reading (4 MiB) before the host saw it behind.
  const int buffer = 8192;
  setsockopt(info->connect_fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  auto stream = std::make_shared<Stream>();
  stream->hub = this;
  stream->id = next_id_++;
  stream->connection = connection;
  stream->fd = info->connect_fd;
  stream->quiet_since = MonotonicMs();
  // A page that reconnects after the host restarts tries again soon; a
  // page opened after a goto shows it at once, then the track before it.
  stream->pending.push_back("retry: 1000\n\n");
  if (last_ != "null") stream->pending.push_back("data: " + last_ + "\n\n");
  if (!track_.empty()) {
    std::string track = "event: track\ndata: [";
    for (const std::string& json : track_) track += json + ",";
    track.back() = ']';
    stream->pending.push_back(track + "\n\n");
  }
  MHD_Response* response =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, Read, stream.get(), Free);
  if (response != nullptr) streams_.emplace(stream->id, std::move(stream));
  return response;
}

void EventHub::Close() {
  std::vector<MHD_Connection*> resumed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    for (auto& [id, stream] : streams_) {
      if (stream->suspended) {
        Resume(*stream);
        resumed.push_back(stream->connection);
      }
    }
  }
  for (MHD_Connection* connection : resumed) MHD_resume_connection(connection);
  if (watcher_.joinable()) {
    Wake();
    watcher_.join();
  }
}

void EventHub::Wake() {
  const uint64_t one = 1;
  if (write(wake_.get(), &one, sizeof one) != sizeof one) {
    // The counter is already non-zero: the watcher wakes all the same.
  }
}

void EventHub::Resume(Stream& stream) {
  epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, stream.fd, nullptr);
  stream.suspended = false;
}

// The server's polling thread asks for the stream's next bytes.
ssize_t EventHub::Read(void* cls, uint64_t, char* buffer, size_t size) {
  Stream& stream = *static_cast<Stream*>(cls);
  EventHub& hub = *stream.hub;
  std::lock_guard<std::mutex> lock(hub.mutex_);
  if (hub.closing_ || stream.ended) return MHD_CONTENT_READER_END_WITH_ERROR;
  if (stream.keep_alive && stream.pending.empty()) stream.pending.push_back(":\n\n");
  stream.keep_alive = false;
  size_t length = 0;
  while (!stream.pending.empty() && length < size) {
    const std::string& event = stream.pending.front();
    const size_t part = std::min(size - length, event.size() - stream.written);
    memcpy(buffer + length, event.data() + stream.written, part);
    length += part;
    stream.written += part;
    if (stream.written == event.size()) {
      stream.pending.pop_front();
      stream.written = 0;
    }
  }
  if (length > 0) return static_cast<ssize_t>(length);
  // Nothing to send: the stream sleeps until a goto, a keep-alive or its
  // browser leaving, which the watcher sees on the socket.
  epoll_event event{};
  event.events = EPOLLRDHUP | EPOLLIN;
  event.data.u64 = stream.id;
  if (epoll_ctl(hub.epoll_.get(), EPOLL_CTL_ADD, stream.fd, &event) != 0) {
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }
  stream.suspended = true;
  stream.quiet_since = MonotonicMs();
  MHD_suspend_connection(stream.connection);
  hub.Wake();  // its keep-alive is due in time
  return 0;
}

// The connection has ended: its slot is free.
void EventHub::Free(void* cls) {
  Stream& stream = *static_cast<Stream*>(cls);
  EventHub& hub = *stream.hub;
  std::lock_guard<std::mutex> lock(hub.mutex_);
  if (stream.suspended) hub.Resume(stream);
  hub.streams_.erase(stream.id);
}

void EventHub::Watch() {
  for (;;) {
    int timeout = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const int64_t now = MonotonicMs();
      for (const auto& [id, stream] : streams_) {
        if (!stream->suspended) continue;
        const int64_t left = std::max<int64_t>(0, stream->quiet_since + kKeepAliveMs - now);
        if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
      }
    }
    epoll_event events[16];
    const int count = epoll_wait(epoll_.get(), events, 16, timeout);
    if (count < 0 && errno != EINTR) return;
    std::vector<MHD_Connection*> resumed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 == 0) {  // a stream slept, or the hub ends
          uint64_t counter;
          if (read(wake_.get(), &counter, sizeof counter) < 0) {
            // Already read: nothing was pending.
          }
          if (closing_) return;
          continue;
        }
        // Anything on a stream's socket is its browser leaving (an event
        // stream's client sends nothing more): it ends now.
        // epoll_event is packed: its id is copied out, not bound to.
        const uint64_t id = events[i].data.u64;
        const auto found = streams_.find(id);
        if (found == streams_.end() || !found->second->suspended) continue;
        found->second->ended = true;
        Resume(*found->second);
        resumed.push_back(found->second->connection);
      }
      const int64_t now = MonotonicMs();
      for (auto& [id, stream] : streams_) {
        if (stream->suspended && now - stream->quiet_since >= kKeepAliveMs) {
          stream->keep_alive = true;
          Resume(*stream);
          resumed.push_back(stream->connection);
        }
      }
    }
    for (MHD_Connection* connection : resumed) MHD_resume_connection(connection);
  }
}
