#include "store/forward_ledger.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/file_descriptor.h"
#include "base/retry_on_interrupt.h"
#include "store/append_handles.h"
#include "store/store_errors.h"

namespace {

constexpr const char* kEntryExtension = ".pos";

std::uint64_t Fnv1a(std::string_view bytes, std::uint64_t hash = 14695981039346656037ull) {
  for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
  return hash;
}

// The lines of a file one after the other: the hash of each line's text
// (without CR LF or LF) and the offset after its line end. A last line
// without a line end is not a line yet.
class LineHashes {
 public:
  explicit LineHashes(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)), buffer_(64 << 10) {
    if (fd_.Get() < 0) throw EInOutError(errno);
  }
  // The next line, false at the end.
  bool Next(std::uint64_t& hash, long long& end) {
    std::uint64_t running = 14695981039346656037ull;
    bool carriageReturn = false;
    for (;;) {
      if (at_ == filled_ && !Fill()) return false;
      char byte = buffer_[at_++];
      ++offset_;
      if (byte == '\n') break;
      if (carriageReturn) running = Fnv1a("\r", running);
      carriageReturn = byte == '\r';
      if (!carriageReturn) running = Fnv1a(std::string_view(&byte, 1), running);
    }
    hash = running;
    end = offset_;
    return true;
  }

 private:
  bool Fill() {
    const ssize_t count =
        RetryOnInterrupt([&] { return ::read(fd_.Get(), buffer_.data(), buffer_.size()); });
    if (count < 0) throw EInOutError(errno);
    filled_ = static_cast<std::size_t>(count);
    at_ = 0;
    return count > 0;
  }

  FileDescriptor fd_;
  std::vector<char> buffer_;
  std::size_t filled_ = 0;
  std::size_t at_ = 0;
  long long offset_ = 0;
};

struct Moved {
  long long offset = 0;
  long long expired = 0;
};

// The new content keeps the old lines in their order, less the old ones the
// sweep removed; lines of equal text have equal dates and share their fate,
// so the kept lines are matched to the old ones in turn.
Moved MoveOffset(const std::string& oldPath, const std::string& newPath, long long offset) {
  LineHashes before(oldPath);
  LineHashes after(newPath);
  std::uint64_t oldHash = 0, newHash = 0;
  long long oldEnd = 0, newEnd = 0, moved = 0;
  bool haveNew = after.Next(newHash, newEnd);
  while (oldEnd < offset && before.Next(oldHash, oldEnd)) {
    if (haveNew && oldHash == newHash) {
      moved = newEnd;
      haveNew = after.Next(newHash, newEnd);
    }
  }
  long long oldRest = 0, newRest = haveNew ? 1 : 0;
  while (before.Next(oldHash, oldEnd)) ++oldRest;
  while (haveNew && after.Next(newHash, newEnd)) ++newRest;
  return {moved, oldRest > newRest ? oldRest - newRest : 0};
}

ino_t InodeOf(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) throw EInOutError(errno);
  return info.st_ino;
}

}  // namespace

ForwardLedger::ForwardLedger(std::string startDirectory)
    : startDirectory_(std::move(startDirectory)),
      directory_(startDirectory_ + "/" + kDirectoryName) {
  if (::mkdir(directory_.c_str(), 0755) != 0 && errno != EEXIST) throw EInOutError(errno);
  Load();
}

std::string ForwardLedger::Key(const std::string& hostPath) const {
  if (hostPath.size() > startDirectory_.size() + 1 && hostPath.starts_with(startDirectory_) &&
      hostPath[startDirectory_.size()] == '/')
    return hostPath.substr(startDirectory_.size() + 1);
  return hostPath;
}

std::string ForwardLedger::EntryPath(const std::string& key) const {
  char name[32];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(Fnv1a(key)));
  return directory_ + "/" + name + kEntryExtension;
}

long long ForwardLedger::Resume(const std::string& hostPath, ino_t inode) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(Key(hostPath));
  if (found == entries_.end()) return 0;
  if (found->second.inode == inode) return found->second.offset;
  if (found->second.previousInode == inode) return found->second.previousOffset;
  return 0;
}

bool ForwardLedger::Commit(const std::string& hostPath, ino_t inode, long long offset) {
  std::lock_guard lock(mutex_);
  std::string key = Key(hostPath);
  Entry& entry = entries_[key];
  if (entry.inode != inode && entry.previousInode == inode) return false;
  if (entry.inode == inode && entry.offset == offset && entry.previousInode == 0) return true;
  entry = Entry{inode, offset, 0, 0};
  Write(key, entry);
  return true;
}

// The moved position is flushed before the rename, with the old one beside
// it: whichever file a crash leaves, its position is kept.
bool ForwardLedger::Replace(const std::string& hostPath, const std::string& temporaryPath,
                            const std::function<bool()>& rename) {
  std::lock_guard lock(mutex_);
  std::string key = Key(hostPath);
  auto found = entries_.find(key);
  if (found == entries_.end() || found->second.inode != InodeOf(hostPath)) return rename();
  Entry before = found->second;
  Moved moved = MoveOffset(hostPath, temporaryPath, before.offset);
  Entry after{InodeOf(temporaryPath), moved.offset, before.inode, before.offset};
  Write(key, after);
  found->second = after;
  bool renamed = false;
  try {
    renamed = rename();
  } catch (...) {
    found->second = before;
    Write(key, before);
    throw;
  }
  if (!renamed) {
    found->second = before;
    Write(key, before);
    return false;
  }
  expired_ += moved.expired;
  return true;
}

void ForwardLedger::Load() {
  DIR* directory = ::opendir(directory_.c_str());
  if (directory == nullptr) throw EInOutError(errno);
  while (dirent* item = ::readdir(directory)) {
    std::string name = item->d_name;
    if (!name.ends_with(kEntryExtension)) continue;
    std::FILE* file = std::fopen((directory_ + "/" + name).c_str(), "re");
    if (file == nullptr) continue;
    unsigned long long inode = 0, previousInode = 0;
    long long offset = 0, previousOffset = 0;
    std::string key;
    if (std::fscanf(file, "%llu %lld %llu %lld", &inode, &offset, &previousInode,
                    &previousOffset) == 4 &&
        std::fgetc(file) == '\n') {
      for (int byte; (byte = std::fgetc(file)) != EOF;) key.push_back(static_cast<char>(byte));
      entries_[key] = Entry{static_cast<ino_t>(inode), offset, static_cast<ino_t>(previousInode),
                            previousOffset};
    }
    std::fclose(file);
  }
  ::closedir(directory);
}

void ForwardLedger::Write(const std::string& key, const Entry& entry) {
  std::string path = EntryPath(key);
  std::string temporary = path + ".new";
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, "%llu %lld %llu %lld\n",
                static_cast<unsigned long long>(entry.inode), entry.offset,
                static_cast<unsigned long long>(entry.previousInode), entry.previousOffset);
  FileDescriptor out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.Get() < 0) throw EInOutError(errno);
  WriteAll(out.Get(), std::string(numbers) + key);
  if (::fdatasync(out.Get()) != 0) throw EInOutError(errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) throw EInOutError(errno);
}
