// Map applications that misbehave, on a public port of this process's
// $XDG_RUNTIME_DIR: one that answers with whatever bytes the test gives
// it, and a frozen one.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <optional>
#include <string>
#include <thread>

#include "rexx/public_port.h"

// Answers the message of the first connection with `reply` (nullopt: hangs
// up instead), in a thread of its own. Only the first connection is served:
// a client sends on the connection that found the port, and one that sent
// on another would wait in vain.
class RawHost {
 public:
  RawHost(const char* name, std::optional<std::string> reply) {
    AddPort(name, port_);
    thread_ = std::thread([this, reply] {
      HostMsg message;
      if (!port_ || !WaitPort(*port_, 5000) || !GetMsg(*port_, message)) return;
      if (!reply) return;
      send(message.connection.get(), reply->data(), reply->size(), MSG_NOSIGNAL);
      char byte;  // until the client hangs up, so the reply is not lost
      while (recv(message.connection.get(), &byte, 1, 0) > 0) {
      }
    });
  }
  ~RawHost() { thread_.join(); }

 private:
  std::unique_ptr<HostPort> port_;
  std::thread thread_;
};

// Listens with a backlog of 0 and never accepts: a connection of its own
// fills the queue, and a client's waits in connect().
class FrozenHost {
 public:
  FrozenHost(const std::string& runtime, const char* name) {
    mkdir((runtime + "/rexx").c_str(), 0700);
    sockaddr_un address = {AF_UNIX, {}};
    snprintf(address.sun_path, sizeof address.sun_path, "%s/rexx/%s", runtime.c_str(), name);
    bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_.get(), 0);
    const ScopedFd filler(socket(AF_UNIX, SOCK_SEQPACKET, 0));  // queued, closed or not
    connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  // The bytes sent on every connection that reached the queue.
  std::string Received() const {
    std::string all;
    for (ScopedFd client; (client = ScopedFd(accept(listener_.get(), nullptr, nullptr)));) {
      char buffer[512];
      const ssize_t got = recv(client.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (got > 0) all.append(buffer, got);
    }
    return all;
  }

 private:
  ScopedFd listener_{socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0)};
};
