// The lookup of gpsd's host, on a thread of its own: getaddrinfo can take
// many seconds and ignores Ctrl-C, and the wait for it must end on both.
#pragma once

#include <netdb.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "gps/gpsd_name.h"
#include "platform/cleanup.h"
#include "platform/scoped_fd.h"

// One name lookup, shared by the caller and the thread that makes it: an
// abandoned lookup runs to its end and frees what it holds then.
struct GpsdLookup {
  std::string host, port;
  ScopedFd done;  // an eventfd, readable once the lookup is over
  std::atomic<bool> over{false};
  int status = 0;  // getaddrinfo's
  int error = 0;   // the negative errno of an EAI_SYSTEM status
  Owned<addrinfo, freeaddrinfo> list;
};

// Looks the address up by `deadline` (MonotonicMs): 0 with
// `lookup->list` filled; -EINTR on Ctrl-C; -ETIMEDOUT when the resolver
// has not answered by then; a negative errno when the lookup could not be
// made or the system failed it; -EINVAL when the resolver says the name
// cannot be had, with `why` in its words. `why` is set on every failure
// but Ctrl-C.
int LookUpGpsd(const GpsdAddress& address, int64_t deadline,
               std::shared_ptr<GpsdLookup>& lookup, std::string& why);
