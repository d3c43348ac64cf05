#include "store/busy_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <cerrno>

#include "base/failure_report.h"
#include "store/append_handles.h"
#include "store/store_errors.h"

namespace {

// The releasing thread may be a session's: the report is made on the main
// thread whenever one runs.
void ReportLostLines(const std::string& hostPath, const std::string& reason) {
  const EDataStoreError failure("Lines that waited for the upload of " + hostPath +
                                " could not be written: " + reason);
  QCoreApplication* application = QCoreApplication::instance();
  if (application == nullptr) return ReportFailure(failure);
  QMetaObject::invokeMethod(
      application, [failure] { ReportFailure(failure); }, Qt::QueuedConnection);
}

}  // namespace

BusyFiles& BusyFiles::Instance() {
  static BusyFiles registry;
  return registry;
}

BusyFiles::Mark BusyFiles::TryMark(const std::string& hostPath, Mode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& entry = entries_[hostPath];
  if (entry.writer || (mode == Mode::kWrite && entry.readers > 0)) {
    DropIfIdle(entries_.find(hostPath));
    return Mark();
  }
  if (mode == Mode::kWrite) {
    entry.writer = true;
    entry.writtenSinceWatch = true;
  } else {
    ++entry.readers;
  }
  return Mark(this, hostPath, mode);
}

bool BusyFiles::IsBusy(const std::string& hostPath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(hostPath);
  return found != entries_.end() && (found->second.writer || found->second.readers > 0);
}

void BusyFiles::UnderLock(const std::function<void()>& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  call();
}

void BusyFiles::AppendOrHold(const std::string& hostPath, std::string_view bytes,
                             const std::function<void(std::string_view)>& appendNow) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(hostPath);
  if (found == entries_.end() || !found->second.writer) return appendNow(bytes);
  std::string& held = found->second.held;
  if (held.size() + bytes.size() > kMaxHeldBytes) {
    throw EDataStoreError("Too many lines wait for the upload of " + hostPath +
                          "; this one is not written");
  }
  held.append(bytes);
}

bool BusyFiles::WatchForSweep(const std::string& hostPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& entry = entries_[hostPath];
  if (entry.writer || entry.readers > 0) return false;
  entry.watched = true;
  entry.writtenSinceWatch = false;
  return true;
}

bool BusyFiles::ReplaceIfUntouched(const std::string& hostPath,
                                   const std::function<void()>& replace) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(hostPath);
  if (found == entries_.end()) return false;
  const Entry& entry = found->second;
  const bool untouched =
      entry.watched && !entry.writtenSinceWatch && !entry.writer && entry.readers == 0;
  found->second.watched = false;
  DropIfIdle(found);
  if (untouched) replace();
  return untouched;
}

void BusyFiles::EndWatch(const std::string& hostPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(hostPath);
  if (found == entries_.end()) return;
  found->second.watched = false;
  DropIfIdle(found);
}

void BusyFiles::Unmark(const std::string& hostPath, Mode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(hostPath);
  if (found == entries_.end()) return;
  Entry& entry = found->second;
  if (mode == Mode::kRead) {
    --entry.readers;
  } else {
    entry.writer = false;
    std::string held = std::move(entry.held);
    entry.held.clear();
    try {
      if (!held.empty()) AppendToFile(hostPath, held);
    } catch (const std::exception& failure) {
      ReportLostLines(hostPath, failure.what());
    }
  }
  DropIfIdle(found);
}

void BusyFiles::DropIfIdle(std::map<std::string, Entry>::iterator entry) {
  const Entry& value = entry->second;
  if (value.readers == 0 && !value.writer && !value.watched && value.held.empty()) {
    entries_.erase(entry);
  }
}

BusyFiles::Mark::Mark(BusyFiles* registry, std::string path, Mode mode)
    : registry_(registry), path_(std::move(path)), mode_(mode) {}

BusyFiles::Mark::Mark(Mark&& other) noexcept
    : registry_(other.registry_), path_(std::move(other.path_)), mode_(other.mode_) {
  other.registry_ = nullptr;
}

BusyFiles::Mark& BusyFiles::Mark::operator=(Mark&& other) noexcept {
  if (this != &other) {
    Release();
    registry_ = other.registry_;
    path_ = std::move(other.path_);
    mode_ = other.mode_;
    other.registry_ = nullptr;
  }
  return *this;
}

BusyFiles::Mark::~Mark() { Release(); }

void BusyFiles::Mark::Release() {
  if (registry_ != nullptr) registry_->Unmark(path_, mode_);
  registry_ = nullptr;
}
