#include "gps/gpsd_lookup.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/errors.h"
#include "platform/wait.h"

int LookUpGpsd(const GpsdAddress& address, int64_t deadline,
               std::shared_ptr<GpsdLookup>& lookup, std::string& why) {
  lookup = std::make_shared<GpsdLookup>();
  lookup->host = address.host;
  lookup->port = address.port;
  lookup->done = ScopedFd(eventfd(0, EFD_CLOEXEC));
  if (!lookup->done) {
    const int error = NegativeErrno();
    why = FailureText(error);
    return error;
  }
  try {
    std::thread([lookup] {
      addrinfo hints = {};
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* first = nullptr;
      lookup->status = getaddrinfo(lookup->host.c_str(), lookup->port.c_str(),
                                   &hints, &first);
      lookup->error = lookup->status == EAI_SYSTEM ? NegativeErrno() : 0;
      lookup->list.reset(first);
      lookup->over.store(true, std::memory_order_release);
      const uint64_t one = 1;
      if (write(lookup->done.get(), &one, sizeof one) < 0) {
        // Nobody waits any more.
      }
    }).detach();
  } catch (const std::system_error& failure) {
    const int error = -failure.code().value();
    why = FailureText(error);
    return error;
  }
  const int wait = WaitReadable(lookup->done.get(), RemainingMs(deadline));
  if (wait == kWaitBreak) return -EINTR;
  if (wait != kWaitReady || !lookup->over.load(std::memory_order_acquire)) {
    why = "no answer from the resolver";
    return -ETIMEDOUT;
  }
  if (lookup->status == 0) return 0;
  if (lookup->status == EAI_SYSTEM) {
    why = FailureText(lookup->error);
    return lookup->error;
  }
  why = gai_strerror(lookup->status);
  return -EINVAL;
}
