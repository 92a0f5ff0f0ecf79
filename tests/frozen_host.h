// A map application that is frozen: it listens with a backlog of 0 and
// never accepts, so that a second connection waits in connect().
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdio>
#include <string>

#include "platform/scoped_fd.h"

class FrozenHost {
 public:
  FrozenHost(const std::string& runtime, const char* name) {
    const std::string dir = runtime + "/rexx";
    mkdir(dir.c_str(), 0700);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", dir.c_str(),
             name);
    bind(listener_.get(), reinterpret_cast<sockaddr*>(&address),
         sizeof address);
    listen(listener_.get(), 0);
  }
  // The bytes sent on every connection that reached the queue.
  std::string Received() const {
    std::string all;
    while (true) {
      ScopedFd client(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK));
      if (!client) return all;
      char buffer[512];
      ssize_t got = recv(client.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (got > 0) all.append(buffer, got);
    }
  }

 private:
  ScopedFd listener_{socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0)};
};
