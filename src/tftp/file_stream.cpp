#include "tftp/file_stream.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::unique_ptr<TFileStream> TFileStream::OpenRead(const std::string& hostPath) {
  int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<TFileStream>(new TFileStream(fd));
}

std::unique_ptr<TFileStream> TFileStream::Create(const std::string& hostPath) {
  int fd = ::open(hostPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return std::unique_ptr<TFileStream>(new TFileStream(fd));
}

TFileStream::~TFileStream() { ::close(fd_); }

size_t TFileStream::Read(char* buffer, size_t size) {
  size_t total = 0;
  while (total < size) {
    ssize_t got = ::read(fd_, buffer + total, size - total);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<size_t>(got);
  }
  position_ += static_cast<int64_t>(total);
  return total;
}

size_t TFileStream::Write(const char* data, size_t size) {
  size_t total = 0;
  while (total < size) {
    ssize_t put = ::write(fd_, data + total, size - total);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    total += static_cast<size_t>(put);
  }
  position_ += static_cast<int64_t>(total);
  return total;
}
