// One way to own a handle of a C library: a unique_ptr whose deleter is the
// library's own free function, so every handle is let go on every path.
//   Owned<DIR, closedir> dir{opendir(path)};
//   Owned<sd_bus_message, sd_bus_message_unref> reply;
// A handle from a library opened at run time gets a small free function of
// its own that calls through the symbol table. Descriptors are ScopedFd's.
#pragma once

#include <memory>

template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* handle) const {
    Free(handle);  // unique_ptr never passes a null handle
  }
};

template <class T, auto Free>
using Owned = std::unique_ptr<T, FreeWith<Free>>;
