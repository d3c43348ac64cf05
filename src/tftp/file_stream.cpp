#include "tftp/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "base/retry_on_interrupt.h"

namespace {

// Repeats a partial read or write until size bytes moved, the end, or a failure.
template <typename Transfer>
size_t Whole(size_t size, Transfer transfer) {
  size_t total = 0;
  while (total < size) {
    const ssize_t moved = RetryOnInterrupt([&] { return transfer(total); });
    if (moved <= 0) break;
    total += static_cast<size_t>(moved);
  }
  return total;
}

}  // namespace

std::unique_ptr<FileStream> FileStream::OpenRead(FileDescriptor fd) {
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  return std::unique_ptr<FileStream>(new FileStream(std::move(fd)));
}

std::unique_ptr<FileStream> FileStream::Create(FileDescriptor fd) {
  if (!fd.Valid()) return nullptr;
  return std::unique_ptr<FileStream>(new FileStream(std::move(fd)));
}

bool FileStream::HasRoomFor(const std::string& hostPath, int64_t size) {
  const size_t slash = hostPath.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : hostPath.substr(0, slash + 1);
  struct statvfs disk {};
  if (::statvfs(directory.c_str(), &disk) != 0) return true;
  const long double free = static_cast<long double>(disk.f_bavail) * disk.f_frsize;
  return static_cast<long double>(size) <= free;
}

int64_t FileStream::Remaining() const {
  struct stat info {};
  if (::fstat(fd_.Get(), &info) != 0) return -1;
  int64_t length = static_cast<int64_t>(info.st_size);
  if (end_ >= 0) length = std::min(length, end_);
  return std::max<int64_t>(0, length - position_);
}

void FileStream::EndAtPresentLength() {
  struct stat info {};
  if (::fstat(fd_.Get(), &info) == 0) end_ = static_cast<int64_t>(info.st_size);
}

size_t FileStream::Read(char* buffer, size_t size) {
  if (end_ >= 0)
    size = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(size), std::max<int64_t>(0, end_ - position_)));
  const size_t total =
      Whole(size, [&](size_t done) { return ::read(fd_.Get(), buffer + done, size - done); });
  position_ += static_cast<int64_t>(total);
  return total;
}

bool FileStream::Flush() {
  return RetryOnInterrupt([&] { return ::fsync(fd_.Get()); }) == 0;
}

size_t FileStream::Write(const char* data, size_t size) {
  const size_t total =
      Whole(size, [&](size_t done) { return ::write(fd_.Get(), data + done, size - done); });
  position_ += static_cast<int64_t>(total);
  return total;
}
