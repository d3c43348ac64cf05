#include "store/retention_sweep.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <vector>

#include "base/file_descriptor.h"
#include "base/retry_on_interrupt.h"
#include "store/append_handles.h"
#include "store/busy_files.h"
#include "store/directory_scan.h"
#include "store/forward_ledger.h"
#include "store/local_calendar.h"
#include "store/retention_filter.h"
#include "store/store_errors.h"

namespace {

constexpr std::size_t kChunk = 1 << 20;
// The most of one line held in memory; the rest of a longer one is streamed.
constexpr std::size_t kMaxLine = 64 << 10;

// The text from the name's last "." on; a name ending in "." has none.
std::string_view Extension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

int OpenOrRaise(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw EInOutError(errno);
  return fd;
}

// Replacements written before the file system is flushed and they replace
// their files, at most: bounds the disk space that temporary files take.
constexpr std::size_t kMaxWrittenFiles = 256;
constexpr long long kMaxWrittenBytes = 256ll << 20;

int OpenDirectoryOrRaise(const std::string& hostDirectory) {
  int fd = ::open(hostDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw EInOutError(errno);
  return fd;
}

// A temporary file beside the original with a name of fixed length that no
// listing shows (directory_scan::IsSweepTemporary); removed unless kept.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& hostDirectory)
      : path_(hostDirectory + "/" + directory_scan::kTemporaryPattern),
        fd_(::mkostemp(path_.data(), O_CLOEXEC)) {
    if (fd_.Get() < 0) throw EInOutError(errno);
  }
  ~TemporaryFile() {
    if (!kept_) ::unlink(path_.c_str());
  }
  int Fd() const { return fd_.Get(); }
  const std::string& Path() const { return path_; }
  void Close() {
    if (fd_.Close() != 0) throw EInOutError(errno);
  }
  void RenameOver(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) throw EInOutError(errno);
    kept_ = true;
  }

 private:
  std::string path_;
  FileDescriptor fd_;
  bool kept_ = false;
};

// Copies length bytes from offset of in to the end of out.
void CopyRange(int in, long long offset, long long length, int out) {
  std::vector<char> buffer(std::min<long long>(length, kChunk));
  while (length > 0) {
    const ssize_t count = RetryOnInterrupt(
        [&] { return ::pread(in, buffer.data(), std::min<long long>(length, kChunk), offset); });
    if (count < 0) throw EInOutError(errno);
    if (count == 0) throw EInOutError(EIO);
    WriteAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    offset += count;
    length -= count;
  }
}

// Whether the filter would drop a line of in: read only, stops at the first.
bool HasLinesToRemove(int in, RetentionFilter& filter) {
  filter.SetLongLines(kMaxLine, [](long long, long long, std::string&) {});
  std::vector<char> buffer(kChunk);
  std::string discarded;
  while (filter.DroppedLines() == 0) {
    const ssize_t count =
        RetryOnInterrupt([&] { return ::read(in, buffer.data(), buffer.size()); });
    if (count < 0) throw EInOutError(errno);
    if (count == 0) break;
    filter.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(count)), discarded);
    discarded.clear();
  }
  if (filter.DroppedLines() == 0) filter.Finish(discarded);  // a last line without a line end
  return filter.DroppedLines() > 0;
}

void Filter(int in, int out, RetentionFilter& filter) {
  filter.SetLongLines(kMaxLine,
                      [in, out](long long offset, long long length, std::string& pending) {
                        WriteAll(out, pending);
                        pending.clear();
                        CopyRange(in, offset, length, out);
                      });
  std::vector<char> buffer(kChunk);
  std::string pending;
  pending.reserve(2 * kChunk);
  for (;;) {
    const ssize_t count =
        RetryOnInterrupt([&] { return ::read(in, buffer.data(), buffer.size()); });
    if (count < 0) throw EInOutError(errno);
    if (count == 0) break;
    filter.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(count)), pending);
    if (pending.size() >= kChunk) {
      WriteAll(out, pending);
      pending.clear();
    }
  }
  filter.Finish(pending);
  WriteAll(out, pending);
}

// Ends the registry's watch on a file however the sweep of it ends.
class SweepWatch {
 public:
  explicit SweepWatch(std::string path)
      : path_(std::move(path)), watching_(BusyFiles::Instance().WatchForSweep(path_)) {}
  ~SweepWatch() {
    if (watching_) BusyFiles::Instance().EndWatch(path_);
  }
  SweepWatch(const SweepWatch&) = delete;
  SweepWatch& operator=(const SweepWatch&) = delete;
  bool Watching() const { return watching_; }
  // Runs replace under the registry's lock unless a transfer began meanwhile.
  bool ReplaceIfUntouched(const std::function<void()>& replace) {
    watching_ = false;
    return BusyFiles::Instance().ReplaceIfUntouched(path_, replace);
  }

 private:
  std::string path_;
  bool watching_;
};

}  // namespace

// A log file's replacement, written and closed, with the watch that lets it
// replace the file.
struct RetentionSweep::Replacement {
  std::string path;
  std::string directory;
  std::unique_ptr<SweepWatch> watch;
  TemporaryFile temporary;
  long long linesRemoved = 0;
  Replacement(std::string hostPath, std::string hostDirectory, std::unique_ptr<SweepWatch> held)
      : path(std::move(hostPath)),
        directory(std::move(hostDirectory)),
        watch(std::move(held)),
        temporary(directory) {}
};

RetentionSweep::RetentionSweep(SweepSettings settings) : settings_(std::move(settings)) {}

RetentionSweep::~RetentionSweep() = default;

void RetentionSweep::Run(const std::string& hostLogDirectory) {
  directory_scan::SweepListing listing = directory_scan::ListForSweep(hostLogDirectory);
  for (const std::string& directory : listing.unreadableDirectories) {
    NoteFailure(directory, "the directory cannot be read");
  }
  for (const std::string& leftover : listing.leftovers) RemoveLeftover(leftover);
  for (const auto& [directory, name] : listing.files) SweepFile(directory, name);
  ReplaceWritten();
}

// A temporary file that a running upload writes is marked and stays.
void RetentionSweep::RemoveLeftover(const std::string& hostPath) {
  SweepWatch watch(hostPath);
  if (!watch.Watching()) return;
  watch.ReplaceIfUntouched([&] {
    if (::unlink(hostPath.c_str()) != 0 && errno != ENOENT)
      NoteFailure(hostPath, InOutErrorText(errno));
  });
}

void RetentionSweep::SweepFile(const std::string& hostDirectory, const std::string& name) {
  std::string_view extension = Extension(name);
  try {
    if (extension == settings_.pictureExt) {
      SweepPicture(hostDirectory, name);
    } else if (extension == settings_.dataExt) {
      RewriteLog(hostDirectory, name);
    }
  } catch (const Exception& failure) {
    NoteFailure(hostDirectory + "/" + name, failure.Message());
  }
}

void RetentionSweep::SweepPicture(const std::string& hostDirectory, const std::string& name) {
  std::string path = hostDirectory + "/" + name;
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) throw EInOutError(errno);
  if (local_calendar::FileAgeDays(info.st_mtime, settings_.todayDayNumber) <
      settings_.retentionDays)
    return;
  auto newest = newestByDirectory_.find(hostDirectory);
  if (newest == newestByDirectory_.end()) {
    newest =
        newestByDirectory_.emplace(hostDirectory, directory_scan::NewestFile(hostDirectory)).first;
  }
  if (newest->second == name) return;
  SweepWatch watch(path);
  if (watch.Watching()) watch.ReplaceIfUntouched([&] { ::unlink(path.c_str()); });
}

// A file that a transfer holds, or that one began on while it was read, is
// left for the next run. A file with nothing to remove is only read.
void RetentionSweep::RewriteLog(const std::string& hostDirectory, const std::string& name) {
  std::string path = hostDirectory + "/" + name;
  auto watch = std::make_unique<SweepWatch>(path);
  if (!watch->Watching()) return;
  FileDescriptor in(OpenOrRaise(path));
  struct stat info;
  if (::fstat(in.Get(), &info) != 0) throw EInOutError(errno);
  if (!S_ISREG(info.st_mode)) return;
  RetentionFilter dryRun(settings_.format, settings_.todayDayNumber, settings_.currentYear,
                         settings_.retentionDays);
  if (!HasLinesToRemove(in.Get(), dryRun)) return;
  if (::lseek(in.Get(), 0, SEEK_SET) != 0) throw EInOutError(errno);
  auto replacement = std::make_unique<Replacement>(path, hostDirectory, std::move(watch));
  ::fchmod(replacement->temporary.Fd(), info.st_mode & 07777);
  RetentionFilter filter(settings_.format, settings_.todayDayNumber, settings_.currentYear,
                         settings_.retentionDays);
  Filter(in.Get(), replacement->temporary.Fd(), filter);
  struct stat written;
  if (::fstat(replacement->temporary.Fd(), &written) != 0) throw EInOutError(errno);
  replacement->temporary.Close();
  replacement->linesRemoved = filter.DroppedLines();
  written_bytes_ += written.st_size;
  written_.push_back(std::move(replacement));
  if (written_.size() >= kMaxWrittenFiles || written_bytes_ >= kMaxWrittenBytes) ReplaceWritten();
}

void RetentionSweep::Sync(int fd, SweepSettings::SyncScope scope) const {
  if (settings_.sync) return settings_.sync(fd, scope);
  int result = scope == SweepSettings::SyncScope::kFileSystem ? ::syncfs(fd) : ::fsync(fd);
  if (result != 0) throw EInOutError(errno);
}

// The written replacements reach the disk with one flush of each file
// system, then replace their files, then each changed directory is flushed.
void RetentionSweep::ReplaceWritten() {
  std::vector<std::unique_ptr<Replacement>> batch;
  batch.swap(written_);
  written_bytes_ = 0;
  if (batch.empty()) return;
  std::map<std::string, FileDescriptor> directories;
  try {
    std::vector<dev_t> flushed;
    for (const auto& replacement : batch) {
      auto [entry, added] = directories.try_emplace(replacement->directory);
      if (!added) continue;
      entry->second = FileDescriptor(OpenDirectoryOrRaise(replacement->directory));
      struct stat info;
      if (::fstat(entry->second.Get(), &info) != 0) throw EInOutError(errno);
      if (std::find(flushed.begin(), flushed.end(), info.st_dev) != flushed.end()) continue;
      Sync(entry->second.Get(), SweepSettings::SyncScope::kFileSystem);
      flushed.push_back(info.st_dev);
    }
  } catch (const Exception& failure) {
    for (const auto& replacement : batch) NoteFailure(replacement->path, failure.Message());
    return;
  }
  std::map<std::string, bool> changed;
  for (const auto& replacement : batch) {
    try {
      if (settings_.beforeReplace) settings_.beforeReplace(replacement->path);
      // The forwarder's position moves outside the busy-file lock: it reads the files.
      auto replace = [&] {
        return replacement->watch->ReplaceIfUntouched(
            [&] { replacement->temporary.RenameOver(replacement->path); });
      };
      if (settings_.ledger ? settings_.ledger->Replace(replacement->path,
                                                        replacement->temporary.Path(), replace)
                           : replace()) {
        changed[replacement->directory] = true;
        linesRemoved_ += replacement->linesRemoved;
      }
    } catch (const Exception& failure) {
      NoteFailure(replacement->path, failure.Message());
    }
  }
  batch.clear();  // removes the temporary files that replaced nothing
  for (const auto& [directory, unused] : changed) {
    try {
      Sync(directories.at(directory).Get(), SweepSettings::SyncScope::kDirectory);
    } catch (const Exception& failure) {
      NoteFailure(directory, failure.Message());
    }
  }
}

void RetentionSweep::NoteFailure(const std::string& hostPath, const std::string& message) {
  if (failureCount_++ == 0)
    firstFailure_ = "The retention sweep skipped " + hostPath + ": " + message;
}
