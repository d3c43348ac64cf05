#include "store/tree_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include "base/retry_on_interrupt.h"
#include "store/store_errors.h"

TreeLock::TreeLock(std::string startDirectory)
    : path_(std::move(startDirectory) + "/" + kFileName) {}

bool TreeLock::TryTake() {
  if (held_) return true;
  if (!fd_.Valid()) {
    fd_.Reset(RetryOnInterrupt(
        [&] { return ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644); }));
    if (!fd_.Valid() && (errno == EACCES || errno == EROFS))  // one left by another user
      fd_.Reset(RetryOnInterrupt(
          [&] { return ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); }));
    if (!fd_.Valid())
      throw EDataStoreError("Cannot open the lock file " + path_ + ": " + std::strerror(errno));
  }
  if (RetryOnInterrupt([&] { return ::flock(fd_.Get(), LOCK_EX | LOCK_NB); }) == 0) {
    held_ = true;
  } else if (errno != EWOULDBLOCK) {
    throw EDataStoreError("Cannot lock " + path_ + ": " + std::strerror(errno));
  }
  return held_;
}
