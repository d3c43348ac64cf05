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

void SyncOrRaise(int fd) {
  if (::fsync(fd) != 0) throw EInOutError(errno);
}

// The directory's entries reach the disk: a rename is then kept through a
// power loss.
void SyncDirectory(const std::string& hostDirectory) {
  FileDescriptor directory(::open(hostDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() < 0) throw EInOutError(errno);
  SyncOrRaise(directory.Get());
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
  // Flushes the content to the disk and closes the file.
  void SyncAndClose() {
    SyncOrRaise(fd_.Get());
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

RetentionSweep::RetentionSweep(SweepSettings settings) : settings_(std::move(settings)) {}

void RetentionSweep::Run(const std::string& hostLogDirectory) {
  directory_scan::SweepListing listing = directory_scan::ListForSweep(hostLogDirectory);
  for (const std::string& directory : listing.unreadableDirectories) {
    NoteFailure(directory, "the directory cannot be read");
  }
  for (const std::string& leftover : listing.leftovers) {
    if (::unlink(leftover.c_str()) != 0 && errno != ENOENT)
      NoteFailure(leftover, InOutErrorText(errno));
  }
  for (const auto& [directory, name] : listing.files) SweepFile(directory, name);
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
// left for the next run.
void RetentionSweep::RewriteLog(const std::string& hostDirectory, const std::string& name) {
  std::string path = hostDirectory + "/" + name;
  SweepWatch watch(path);
  if (!watch.Watching()) return;
  FileDescriptor in(OpenOrRaise(path));
  struct stat info;
  if (::fstat(in.Get(), &info) != 0) throw EInOutError(errno);
  if (!S_ISREG(info.st_mode)) return;
  TemporaryFile temporary(hostDirectory);
  ::fchmod(temporary.Fd(), info.st_mode & 07777);
  RetentionFilter filter(settings_.format, settings_.todayDayNumber, settings_.currentYear,
                         settings_.retentionDays);
  Filter(in.Get(), temporary.Fd(), filter);
  temporary.SyncAndClose();
  if (!watch.ReplaceIfUntouched([&] { temporary.RenameOver(path); })) return;
  SyncDirectory(hostDirectory);
  linesRemoved_ += filter.DroppedLines();
}

void RetentionSweep::NoteFailure(const std::string& hostPath, const std::string& message) {
  if (failureCount_++ == 0)
    firstFailure_ = "The retention sweep skipped " + hostPath + ": " + message;
}
