#include "store/append_handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/file_descriptor.h"
#include "base/retry_on_interrupt.h"
#include "store/store_errors.h"

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written =
        RetryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (written < 0) throw EInOutError(errno);
    if (written == 0) throw EInOutError(EIO);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

namespace {
int injectedError = 0;
}  // namespace

void FailAppendsForTests(int errorNumber) { injectedError = errorNumber; }

void AppendWhole(int fd, std::string_view bytes) {
  if (injectedError != 0) throw EInOutError(injectedError);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t put = RetryOnInterrupt(
        [&] { return ::write(fd, bytes.data() + written, bytes.size() - written); });
    if (put <= 0) {
      int error = put < 0 ? errno : EIO;
      off_t end = ::lseek(fd, 0, SEEK_END);
      if (written > 0 && end >= static_cast<off_t>(written))
        (void)!::ftruncate(fd, end - static_cast<off_t>(written));
      throw EInOutError(error);
    }
    written += static_cast<std::size_t>(put);
  }
}

void EndTornLine(int fd, off_t size) {
  if (size == 0) return;
  char last = '\n';
  const ssize_t got = RetryOnInterrupt([&] { return ::pread(fd, &last, 1, size - 1); });
  if (got < 0 && errno != EBADF) throw EInOutError(errno);  // EBADF: opened write-only
  if (got != 1 || last == '\n') return;
  AppendWhole(fd, last == '\r' ? "\n" : "\r\n");
}

namespace {

// Read too, where the file allows it: to see whether its last line has its end.
int OpenForAppending(const std::string& hostPath) {
  int fd = ::open(hostPath.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = ::open(hostPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  return fd;
}

off_t SizeOf(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) throw EInOutError(errno);
  return info.st_size;
}

}  // namespace

void AppendToFile(const std::string& hostPath, std::string_view bytes) {
  FileDescriptor file(OpenForAppending(hostPath));
  if (!file.Valid()) throw EInOutError(errno);
  EndTornLine(file.Get(), SizeOf(file.Get()));
  AppendWhole(file.Get(), bytes);
  if (file.Close() != 0) throw EInOutError(errno);
}

AppendHandles::~AppendHandles() { CloseAll(); }

void AppendHandles::CloseAll() {
  for (auto& [path, handle] : handles_) ::close(handle.fd);
  handles_.clear();
}

void AppendHandles::Append(const std::string& hostPath, dev_t device, ino_t inode,
                           std::string_view bytes) {
  Handle& handle = HandleFor(hostPath, device, inode);
  if (!handle.lineEnded) EndTornLine(handle.fd, SizeOf(handle.fd));
  handle.lineEnded = true;
  try {
    AppendWhole(handle.fd, bytes);
  } catch (const EInOutError&) {
    handle.lineEnded = false;  // looked at again before the next append
    throw;
  }
}

AppendHandles::Handle& AppendHandles::HandleFor(const std::string& hostPath, dev_t device,
                                                ino_t inode) {
  auto found = handles_.find(hostPath);
  if (found != handles_.end()) {
    if (found->second.device == device && found->second.inode == inode) return found->second;
    ::close(found->second.fd);
    handles_.erase(found);
  }
  if (handles_.size() >= kMaxOpen) CloseAll();
  FileDescriptor file(OpenForAppending(hostPath));
  if (!file.Valid()) throw EInOutError(errno);
  struct stat info;
  if (::fstat(file.Get(), &info) != 0) throw EInOutError(errno);
  Handle& handle = handles_[hostPath];
  handle = Handle{file.Release(), info.st_dev, info.st_ino, false};
  return handle;
}
