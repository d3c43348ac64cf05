#include "store/retention_sweep.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "store/append_handles.h"
#include "store/busy_files.h"
#include "store/directory_scan.h"
#include "store/local_calendar.h"
#include "store/retention_filter.h"
#include "store/store_errors.h"

namespace {

constexpr std::size_t kChunk = 1 << 20;

// The text from the name's last "." on; a name ending in "." has none.
std::string_view Extension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }
  int Close() {
    int result = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

int OpenOrRaise(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw EInOutError(errno);
  return fd;
}

// A temporary file beside the original, hidden and with another extension
// so that no listing takes it for a log file; removed unless kept.
class TemporaryFile {
 public:
  TemporaryFile(const std::string& hostDirectory, const std::string& name)
      : path_(hostDirectory + "/." + name + ".sweep-XXXXXX"), fd_(::mkostemp(path_.data(), O_CLOEXEC)) {
    if (fd_.Get() < 0) throw EInOutError(errno);
  }
  ~TemporaryFile() {
    if (!kept_) ::unlink(path_.c_str());
  }
  int Fd() const { return fd_.Get(); }
  void CloseOrRaise() {
    if (fd_.Close() != 0) throw EInOutError(errno);
  }
  void RenameOver(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) throw EInOutError(errno);
    kept_ = true;
  }

 private:
  std::string path_;
  Descriptor fd_;
  bool kept_ = false;
};

void Filter(int in, int out, RetentionFilter& filter) {
  std::vector<char> buffer(kChunk);
  std::string pending;
  pending.reserve(2 * kChunk);
  for (;;) {
    ssize_t count = ::read(in, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
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

}  // namespace

RetentionSweep::RetentionSweep(SweepSettings settings) : settings_(std::move(settings)) {}

void RetentionSweep::Run(const std::string& hostLogDirectory) {
  std::vector<std::pair<std::string, std::string>> files;
  directory_scan::WalkFiles(hostLogDirectory, "*.*", true, [&](const std::string& subPath, const std::string& name) {
    files.emplace_back(subPath.empty() ? hostLogDirectory : hostLogDirectory + "/" + subPath, name);
  });
  for (const auto& [directory, name] : files) SweepFile(directory, name);
}

void RetentionSweep::SweepFile(const std::string& hostDirectory, const std::string& name) {
  if (BusyFiles::Instance().IsBusy(hostDirectory + "/" + name)) return;
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
  if (::stat(path.c_str(), &info) != 0) throw EInOutError(errno);
  if (local_calendar::FileAgeDays(info.st_mtime, settings_.todayDayNumber) < settings_.retentionDays) return;
  auto newest = newestByDirectory_.find(hostDirectory);
  if (newest == newestByDirectory_.end()) {
    newest = newestByDirectory_.emplace(hostDirectory, directory_scan::NewestFile(hostDirectory)).first;
  }
  if (newest->second != name) ::unlink(path.c_str());
}

void RetentionSweep::RewriteLog(const std::string& hostDirectory, const std::string& name) {
  std::string path = hostDirectory + "/" + name;
  Descriptor in(OpenOrRaise(path));
  struct stat info;
  if (::fstat(in.Get(), &info) != 0) throw EInOutError(errno);
  TemporaryFile temporary(hostDirectory, name);
  ::fchmod(temporary.Fd(), info.st_mode & 07777);
  RetentionFilter filter(settings_.format, settings_.todayDayNumber, settings_.currentYear, settings_.retentionDays);
  Filter(in.Get(), temporary.Fd(), filter);
  temporary.CloseOrRaise();
  // A transfer that began on this file meanwhile keeps it; the next run sweeps it.
  if (BusyFiles::Instance().IsBusy(path)) return;
  temporary.RenameOver(path);
}

void RetentionSweep::NoteFailure(const std::string& hostPath, const std::string& message) {
  if (failureCount_++ == 0) firstFailure_ = "The retention sweep skipped " + hostPath + ": " + message;
}
