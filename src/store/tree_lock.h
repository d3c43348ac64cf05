// The claim of one process on a data tree: an exclusive lock (flock) on the
// file ".datacontroller.lock" in the start directory, held from the moment it
// is taken until the process ends (or the TreeLock is destroyed), so that two
// instances never work on one tree at once. The lock goes with the process:
// a crash releases it. Main thread only.
#pragma once

#include <string>

#include "base/file_descriptor.h"

class TreeLock {
 public:
  static constexpr const char* kFileName = ".datacontroller.lock";

  explicit TreeLock(std::string startDirectory);

  // Takes the lock when nobody holds it; false while another process does.
  // Raises EDataStoreError when the lock file cannot be opened.
  bool TryTake();
  bool Held() const { return held_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  FileDescriptor fd_;
  bool held_ = false;
};
