#include "forward/forwarded_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/retry_on_interrupt.h"
#include "store/forward_ledger.h"
#include "store/store_errors.h"

namespace {

std::string ReadAt(int fd, long long offset, std::size_t length) {
  std::string bytes(length, '\0');
  std::size_t got = 0;
  while (got < length) {
    const ssize_t count = RetryOnInterrupt(
        [&] { return ::pread(fd, bytes.data() + got, length - got, offset + got); });
    if (count < 0) throw EInOutError(errno);
    if (count == 0) break;
    got += static_cast<std::size_t>(count);
  }
  bytes.resize(got);
  return bytes;
}

std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

ForwardedFile::ForwardedFile(std::string hostPath, Kind kind, std::string name,
                             ForwardLedger& ledger)
    : hostPath_(std::move(hostPath)), kind_(kind), name_(std::move(name)), ledger_(ledger) {
  Open();
}

void ForwardedFile::Open() {
  fd_.Reset(::open(hostPath_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd_.Get() < 0) throw EInOutError(errno);
  struct stat info;
  if (::fstat(fd_.Get(), &info) != 0) throw EInOutError(errno);
  inode_ = info.st_ino;
  size_ = info.st_size;
  long long resumed = ledger_.Resume(hostPath_, inode_);
  read_ = acked_ = committed_ = resumed <= size_ ? resumed : 0;
  pending_.clear();
  ++generation_;
  countedTo_ = acked_;
  counted_ = 0;
  seen_.clear();
  if (size_ > acked_) seen_.emplace_back(size_, std::chrono::steady_clock::now());
}

bool ForwardedFile::Follow() {
  struct stat info;
  if (::stat(hostPath_.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw EInOutError(errno);
  }
  if (info.st_ino != inode_) {
    Commit(std::chrono::milliseconds(0));
    Open();
  } else if (info.st_size < acked_) {  // cut short in place: read it again from its start
    read_ = acked_ = countedTo_ = counted_ = 0;
    pending_.clear();
    ++generation_;
    seen_.clear();
    size_ = 0;
  }
  if (info.st_size > size_) NoteGrowth(info.st_size);
  size_ = info.st_size;
  return true;
}

std::vector<ForwardedFile::Line> ForwardedFile::Read(std::size_t maxBytes, std::size_t maxLines) {
  std::vector<Line> lines;
  if (read_ >= size_) return lines;
  std::size_t want = static_cast<std::size_t>(std::min<long long>(size_ - read_, maxBytes));
  std::string bytes = ReadAt(fd_.Get(), read_, want);
  std::size_t lastEnd = bytes.rfind('\n');
  if (lastEnd == std::string::npos && bytes.size() < static_cast<std::size_t>(size_ - read_)) {
    bytes = ReadAt(fd_.Get(), read_, std::min<long long>(size_ - read_, kMaxLine));
    lastEnd = bytes.rfind('\n');
    if (lastEnd == std::string::npos && bytes.size() == kMaxLine) lastEnd = kMaxLine - 1;
  }
  if (lastEnd == std::string::npos) return lines;  // a line still being written
  std::string_view whole(bytes.data(), lastEnd + 1);
  while (!whole.empty() && lines.size() < maxLines) {
    std::size_t end = whole.find('\n');
    std::size_t length = end == std::string_view::npos ? whole.size() : end + 1;
    read_ += static_cast<long long>(length);
    lines.push_back({std::string(WithoutLineEnd(whole.substr(0, length))), read_});
    pending_.push_back({read_, false});
    whole.remove_prefix(length);
  }
  return lines;
}

void ForwardedFile::Acknowledge(long long end) {
  auto sent = std::find_if(pending_.begin(), pending_.end(),
                           [end](const Sent& each) { return each.end == end; });
  if (sent == pending_.end()) return;
  sent->acked = true;
  while (!pending_.empty() && pending_.front().acked) {
    acked_ = pending_.front().end;
    pending_.pop_front();
    while (!seen_.empty() && seen_.front().first <= acked_) seen_.pop_front();
    if (acked_ <= countedTo_) {
      if (counted_ > 0) --counted_;
    } else {
      countedTo_ = acked_;
    }
  }
}

void ForwardedFile::Commit(std::chrono::milliseconds interval) {
  if (acked_ == committed_) return;
  auto now = std::chrono::steady_clock::now();
  if (!pending_.empty() && now - lastCommit_ < interval) return;
  lastCommit_ = now;
  if (ledger_.Commit(hostPath_, inode_, acked_)) {
    committed_ = acked_;
  } else {
    Open();  // the sweep replaced the file: its moved position holds
  }
}

void ForwardedFile::Rewind() {
  read_ = acked_;
  pending_.clear();
  ++generation_;
}

long long ForwardedFile::BacklogLines(std::size_t maxBytes) {
  if (countedTo_ < acked_) countedTo_ = acked_;
  if (countedTo_ < size_) {
    std::string bytes =
        ReadAt(fd_.Get(), countedTo_,
               static_cast<std::size_t>(std::min<long long>(size_ - countedTo_, maxBytes)));
    std::size_t lastEnd = bytes.rfind('\n');
    if (lastEnd != std::string::npos) {
      counted_ += std::count(bytes.begin(), bytes.begin() + lastEnd + 1, '\n');
      countedTo_ += static_cast<long long>(lastEnd + 1);
    }
  }
  return counted_;
}

void ForwardedFile::NoteGrowth(long long size) {
  seen_.emplace_back(size, std::chrono::steady_clock::now());
  if (seen_.size() <= kMaxSeen) return;
  seen_[1].second = seen_[0].second;
  seen_.pop_front();
}

std::optional<std::chrono::steady_clock::time_point> ForwardedFile::OldestWaiting() const {
  if (seen_.empty()) return std::nullopt;
  return seen_.front().second;
}
