#include "store/log_batches.h"

#include <algorithm>
#include <cerrno>

#include "store/busy_files.h"
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
  File& file = entry->second;
  if (added) {
    file.hostPath = std::move(hostPath);
    file.unitName = unitName;
    file.fileName = fileName;
  }
  return file;
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

void LogBatches::NoteRecord(File& combined, File* sensor) {
  records_.push_back(Record{&combined, combined.lineEnds.size() - 1, sensor,
                            sensor == nullptr ? 0 : sensor->lineEnds.size() - 1});
}

// The combined logs first: their failures decide which sensor lines are dropped.
std::vector<std::exception_ptr> LogBatches::WriteQueued(AppendHandles& handles,
                                                        const Recreate& recreate) {
  std::vector<std::exception_ptr> failures;
  std::vector<File*> queued;
  queued.swap(queued_);
  WriteFiles(queued, true, handles, recreate, failures);
  WriteFiles(queued, false, handles, recreate, failures);
  for (File* file : queued) {
    file->pending.clear();
    file->lineEnds.clear();
    file->skip.clear();
    file->queued = false;
  }
  records_.clear();
  return failures;
}

void LogBatches::WriteFiles(const std::vector<File*>& files, bool combined, AppendHandles& handles,
                            const Recreate& recreate, std::vector<std::exception_ptr>& failures) {
  for (File* file : files) {
    if (file->combined != combined) continue;
    std::exception_ptr failure;
    std::vector<std::size_t> failed;
    try {
      failed = WriteFile(*file, handles, recreate, failure);
    } catch (...) {
      failure = std::current_exception();
      for (std::size_t line = 0; line < file->lineEnds.size(); ++line) failed.push_back(line);
    }
    if (failure) failures.push_back(failure);
    if (combined && !failed.empty()) SkipSensorLinesOf(*file, failed);
  }
}

void LogBatches::SkipSensorLinesOf(const File& combined,
                                   const std::vector<std::size_t>& failedLines) {
  for (const Record& record : records_) {
    if (record.combined != &combined || record.sensor == nullptr || record.sensor->combined)
      continue;
    if (!std::binary_search(failedLines.begin(), failedLines.end(), record.combinedLine)) continue;
    std::vector<bool>& skip = record.sensor->skip;
    skip.resize(record.sensor->lineEnds.size());
    skip[record.sensorLine] = true;
  }
}

std::vector<std::size_t> LogBatches::WriteFile(File& file, AppendHandles& handles,
                                               const Recreate& recreate,
                                               std::exception_ptr& failure) {
  struct stat info;
  if (::stat(file.hostPath.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
    file.hostPath = recreate(file);
    if (::stat(file.hostPath.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
      throw EDataStoreError("File does not exist!");
    }
  }
  if (file.skip.empty()) {
    try {
      Append(file, handles, info.st_dev, info.st_ino, file.pending);
      return {};
    } catch (const EInOutError&) {
      if (file.lineEnds.size() < 2) throw;
    }
  }
  return WriteLineByLine(file, handles, info.st_dev, info.st_ino, failure);
}

std::vector<std::size_t> LogBatches::WriteLineByLine(const File& file, AppendHandles& handles,
                                                     dev_t device, ino_t inode,
                                                     std::exception_ptr& failure) {
  std::vector<std::size_t> failed;
  std::size_t begin = 0;
  for (std::size_t line = 0; line < file.lineEnds.size(); ++line) {
    std::size_t end = file.lineEnds[line];
    if (line >= file.skip.size() || !file.skip[line]) {
      try {
        Append(file, handles, device, inode,
               std::string_view(file.pending).substr(begin, end - begin));
      } catch (const EInOutError&) {
        if (!failure) failure = std::current_exception();
        failed.push_back(line);
      }
    }
    begin = end;
  }
  return failed;
}

// Every write of gathered lines goes through here: lines for a file that a
// file transfer is storing wait for the store to end and then follow it.
void LogBatches::Append(const File& file, AppendHandles& handles, dev_t device, ino_t inode,
                        std::string_view bytes) {
  BusyFiles::Instance().AppendOrHold(file.hostPath, bytes, [&](std::string_view now) {
    handles.Append(file.hostPath, device, inode, now);
  });
}
