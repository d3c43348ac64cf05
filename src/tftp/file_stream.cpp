#include "tftp/file_stream.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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

bool TFileStream::HasRoomFor(const std::string& hostPath, int64_t size) {
  const size_t slash = hostPath.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : hostPath.substr(0, slash + 1);
  struct statvfs disk {};
  if (::statvfs(directory.c_str(), &disk) != 0) return true;
  const long double free = static_cast<long double>(disk.f_bavail) * disk.f_frsize;
  struct stat existing {};
  const long double freed =
      ::stat(hostPath.c_str(), &existing) == 0 ? static_cast<long double>(existing.st_blocks) * 512 : 0;
  return static_cast<long double>(size) <= free + freed;
}

int64_t TFileStream::Remaining() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return -1;
  return std::max<int64_t>(0, static_cast<int64_t>(info.st_size) - position_);
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
