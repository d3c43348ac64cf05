// Opens a path below a directory descriptor without ever leaving it and
// without a window between check and open: the kernel's openat2 with
// RESOLVE_BENEATH, or on kernels without it a walk of one openat per
// component with O_NOFOLLOW that follows each symbolic link itself. Links
// whose way stays below the directory are followed; "..", links and absolute
// links that lead out fail with EXDEV. Stateless; thread safe.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace confined_open {

enum class Method { kKernel, kWalk };

// A descriptor for path ("/"-separated, relative; "" is the directory
// itself) below the directory beneath, opened with flags (O_CLOEXEC is
// added) and mode; or -1 with errno set, EXDEV when the way
// leads out. An absolute link into beneath's own directory (as it is named
// now) is followed too. kKernel falls back to kWalk where openat2 is missing.
int Open(int beneath, std::string_view path, int flags, mode_t mode = 0,
         Method method = Method::kKernel);

}  // namespace confined_open
