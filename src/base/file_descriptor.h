// One open file descriptor (a file or a socket), closed when the owner is
// destroyed or resets it. Move-only; used by one thread at a time. Close
// failures are not reported: on Linux the descriptor is released whatever
// close says, and there is nothing left to retry.
#pragma once

#include <unistd.h>

class FileDescriptor {
 public:
  FileDescriptor() = default;
  // Takes fd (negative: none).
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Closes the descriptor held (if any) and takes fd instead.
  void Reset(int fd = -1);
  // Gives the descriptor up without closing it.
  int Release();
  // Closes now and returns what close said (0, or -1 with errno set); the
  // descriptor is released either way. For files whose close can tell of a
  // failed write.
  int Close() { return fd_ >= 0 ? ::close(Release()) : 0; }

 private:
  int fd_ = -1;
};
