// How every call in navbeacon says it failed: it returns a negative errno
// (-ENOENT), as system calls and systemd do, and 0 or a value >= 0 when it
// succeeded. errno is read right after the call that set it and carried from
// there as this value; nothing reads errno after another call has been made.
// Where errno cannot say what is wrong with text the caller gave (a field of
// a name, a placeholder), the call returns -EINVAL and says it in words in
// `why`. The one message a user sees is made at the edge, from this value.
#pragma once

#include <cerrno>
#include <cstring>

// errno as a failure, read now: call it right after the call that failed.
// A call that failed without setting errno is reported as EIO, never as 0.
inline int NegativeErrno() { return errno > 0 ? -errno : -EIO; }

// The words for a failure (for "No such file or directory"), safe from any
// thread.
inline const char* FailureText(int negative_errno) {
  const char* text = strerrordesc_np(-negative_errno);
  return text != nullptr ? text : "Unknown error";
}
