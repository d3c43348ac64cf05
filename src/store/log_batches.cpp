#include "store/log_batches.h"

#include <cerrno>

#include "store/store_errors.h"

LogBatches::Unit* LogBatches::FindUnit(std::string_view unitName) {
  auto found = units_.find(unitName);
  return found == units_.end() ? nullptr : &found->second;
}

LogBatches::Unit& LogBatches::AddUnit(std::string_view unitName, std::string hostDirectory) {
  Unit& unit = units_[std::string(unitName)];
  unit.hostDirectory = std::move(hostDirectory);
  return unit;
}

LogBatches::File& LogBatches::FileAt(std::string hostPath, std::string_view unitName,
                                     std::string_view fileName) {
  auto [entry, added] = files_.try_emplace(hostPath);
  if (added) entry->second = File{std::move(hostPath), std::string(unitName), std::string(fileName), {}};
  return entry->second;
}

void LogBatches::Queue(File& file) {
  if (file.queued || file.pending.empty()) return;
  file.queued = true;
  queued_.push_back(&file);
}

void LogBatches::Forget() {
  if (HasQueued()) return;
  units_.clear();
  files_.clear();
}

std::vector<std::exception_ptr> LogBatches::WriteQueued(AppendHandles& handles,
                                                        const Recreate& recreate) {
  std::vector<std::exception_ptr> failures;
  std::vector<File*> queued;
  queued.swap(queued_);
  for (File* file : queued) {
    try {
      WriteFile(*file, handles, recreate);
    } catch (...) {
      failures.push_back(std::current_exception());
    }
    file->pending.clear();
    file->queued = false;
  }
  return failures;
}

void LogBatches::WriteFile(File& file, AppendHandles& handles, const Recreate& recreate) {
  struct stat info;
  if (::stat(file.hostPath.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
    file.hostPath = recreate(file);
    if (::stat(file.hostPath.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
      throw EDataStoreError("File does not exist!");
    }
  }
  handles.Append(file.hostPath, info.st_dev, info.st_ino, file.pending);
}
