#include "store/record_file_follower.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/confined_open.h"
#include "base/file_descriptor.h"
#include "base/retry_on_interrupt.h"

namespace {

ssize_t ReadAt(int fd, char* buffer, std::size_t length, off_t offset) {
  return RetryOnInterrupt([&] { return ::pread(fd, buffer, length, offset); });
}

}  // namespace

RecordFileFollower::RecordFileFollower(std::string hostPath, Opener open, ShortDateFormat format,
                                       std::size_t sliceBytes)
    : path_(std::move(hostPath)),
      open_(std::move(open)),
      format_(format),
      sliceBytes_(sliceBytes > 0 ? sliceBytes : 1) {}

RecordFileFollower::RecordFileFollower(std::string hostPath, ShortDateFormat format,
                                       std::size_t sliceBytes)
    : RecordFileFollower(hostPath, OpenerBeside(hostPath), format, sliceBytes) {}

RecordFileFollower::Opener RecordFileFollower::OpenerBeside(const std::string& hostPath) {
  std::size_t slash = hostPath.rfind('/');
  std::string directory = slash == std::string::npos ? "." : hostPath.substr(0, slash + 1);
  std::string name = hostPath.substr(slash == std::string::npos ? 0 : slash + 1);
  return [directory, name] {
    FileDescriptor beside(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return beside.Valid() ? confined_open::Open(beside.Get(), name, O_RDONLY) : -1;
  };
}

RecordFileFollower::Slice RecordFileFollower::Poll(int currentYear, std::size_t maxBytes) {
  Slice slice;
  FileDescriptor file(open_());
  struct stat status {};
  if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0) {
    if (known_ || offset_ > 0) Restart(0, 0, slice);
    known_ = false;
    return slice;
  }
  if (!SameFile(file.Get(), status.st_dev, status.st_ino, status.st_size)) {
    Restart(status.st_dev, status.st_ino, slice);
  }
  if (status.st_size <= offset_) return slice;
  std::size_t limit = maxBytes > 0 ? std::min(maxBytes, sliceBytes_) : sliceBytes_;
  std::size_t wanted = static_cast<std::size_t>(std::min<off_t>(status.st_size - offset_, limit));
  std::string buffer(wanted, '\0');
  ssize_t got = ReadAt(file.Get(), buffer.data(), wanted, offset_);
  if (got <= 0) return slice;
  offset_ += got;
  slice.bytes = static_cast<std::size_t>(got);
  KeepTail(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
  TakeBytes(std::string_view(buffer.data(), static_cast<std::size_t>(got)), currentYear, slice);
  slice.more = offset_ < status.st_size;
  return slice;
}

bool RecordFileFollower::SameFile(int fd, dev_t device, ino_t inode, off_t size) const {
  if (!known_ || device != device_ || inode != inode_ || size < offset_) return false;
  if (tail_.empty()) return true;
  std::string now(tail_.size(), '\0');
  off_t at = offset_ - static_cast<off_t>(tail_.size());
  return ReadAt(fd, now.data(), now.size(), at) == static_cast<ssize_t>(now.size()) && now == tail_;
}

void RecordFileFollower::KeepTail(std::string_view bytes) {
  if (bytes.size() >= kTailBytes) {
    tail_.assign(bytes.substr(bytes.size() - kTailBytes));
    return;
  }
  tail_.append(bytes);
  if (tail_.size() > kTailBytes) tail_.erase(0, tail_.size() - kTailBytes);
}

void RecordFileFollower::Restart(dev_t device, ino_t inode, Slice& slice) {
  slice.restarted = true;
  slice.points.clear();
  slice.skippedLines = 0;
  known_ = true;
  device_ = device;
  inode_ = inode;
  offset_ = 0;
  tail_.clear();
  partial_.clear();
  overlong_ = false;
}

void RecordFileFollower::TakeBytes(std::string_view bytes, int currentYear, Slice& slice) {
  while (!bytes.empty()) {
    std::size_t end = bytes.find('\n');
    std::string_view piece = bytes.substr(0, end);
    if (!overlong_ && partial_.size() + piece.size() > kMaxLineBytes) {
      overlong_ = true;
      partial_.clear();
    }
    if (!overlong_) partial_.append(piece);
    if (end == std::string_view::npos) return;
    if (overlong_) {
      ++slice.skippedLines;
    } else {
      TakeLine(partial_, currentYear, slice);
    }
    partial_.clear();
    overlong_ = false;
    bytes.remove_prefix(end + 1);
  }
}

void RecordFileFollower::TakeLine(std::string_view line, int currentYear, Slice& slice) {
  std::optional<RecordPoint> point = record_point::Read(line, format_, currentYear, &dates_);
  if (point) {
    slice.points.push_back(*point);
  } else {
    ++slice.skippedLines;
  }
}
