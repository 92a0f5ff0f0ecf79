// A host for one exchange, in a child process, that answers with whatever
// bytes the test gives it: for replies a well-behaved host never sends.
#pragma once

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>

#include "platform/public_port.h"

class RawHost {
 public:
  // `reply`: the datagram to send; nullopt: close without replying.
  RawHost(const char* name, std::optional<std::string> reply) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      int error;
      auto port = AddPort(name, &error);
      char ok = port ? 1 : 0;
      if (write(ready[1], &ok, 1) != 1 || !port) _exit(1);
      // FindPort's own connection closes without a message: skip it.
      HostMsg message;
      while (WaitPort(*port, 5000) && !GetMsg(*port, message)) {
      }
      if (reply) {
        send(message.connection.get(), reply->data(), reply->size(),
             MSG_NOSIGNAL);
        // Wait for the client to hang up, so the reply is not lost.
        char byte;
        ssize_t ignored = read(message.connection.get(), &byte, 1);
        (void)ignored;
      }
      _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    ready_ = read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
  }
  ~RawHost() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};
