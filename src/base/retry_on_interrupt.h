// The one loop around system calls that a signal can interrupt: repeats the
// call while it fails (-1) with EINTR and returns its last result, errno
// left as that call set it. Thread safe as the call is.
#pragma once

#include <cerrno>

template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  for (;;) {
    auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}
