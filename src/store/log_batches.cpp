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

void LogBatches::NoteRecord(File& combined, File* sensor, std::string_view text) {
  texts_.append(text);
  records_.push_back(Record{&combined, combined.lineEnds.size() - 1, sensor,
                            sensor == nullptr ? 0 : sensor->lineEnds.size() - 1, texts_.size(), 0});
}

void LogBatches::NoteLostRecord(std::string_view text, std::string hostPath,
                                std::exception_ptr failure) {
  texts_.append(text);
  lost_.push_back(Lost{std::move(hostPath), std::move(failure)});
  records_.push_back(Record{nullptr, 0, nullptr, 0, texts_.size(), lost_.size()});
}

// The combined logs first: their failures decide which sensor lines are dropped.
bool LogBatches::WriteQueued(AppendHandles& handles, const Recreate& recreate,
                             const Outcome& outcome) {
  std::vector<File*> queued;
  queued.swap(queued_);
  WriteFiles(queued, true, handles, recreate);
  WriteFiles(queued, false, handles, recreate);
  bool wrote = false;
  for (File* file : queued) wrote = wrote || file->failed.empty();
  TellOutcomes(outcome);
  for (File* file : queued) {
    file->pending.clear();
    file->lineEnds.clear();
    file->skip.clear();
    file->failed.clear();
    file->failure = nullptr;
    file->queued = false;
  }
  records_.clear();
  texts_.clear();
  lost_.clear();
  return wrote;
}

void LogBatches::WriteFiles(const std::vector<File*>& files, bool combined, AppendHandles& handles,
                            const Recreate& recreate) {
  for (File* file : files) {
    if (file->combined != combined) continue;
    std::vector<std::size_t> failed;
    try {
      failed = WriteFile(*file, handles, recreate, file->failure);
    } catch (...) {
      file->failure = std::current_exception();
      for (std::size_t line = 0; line < file->lineEnds.size(); ++line) failed.push_back(line);
    }
    if (failed.empty()) continue;
    file->failed.resize(file->lineEnds.size());
    for (std::size_t line : failed) file->failed[line] = true;
    if (combined) SkipSensorLinesOf(*file, failed);
  }
}

bool LogBatches::Failed(const File* file, std::size_t line) {
  return file != nullptr && line < file->failed.size() && file->failed[line];
}

void LogBatches::TellOutcomes(const Outcome& outcome) const {
  static const std::string kNowhere;
  std::size_t begin = 0;
  for (const Record& record : records_) {
    std::string_view text = std::string_view(texts_).substr(begin, record.textEnd - begin);
    begin = record.textEnd;
    if (record.lost != 0) {
      const Lost& lost = lost_[record.lost - 1];
      outcome(record.combined, text, lost.hostPath, lost.failure);
      continue;
    }
    const File* failed = Failed(record.combined, record.combinedLine) ? record.combined
                         : Failed(record.sensor, record.sensorLine)   ? record.sensor
                                                                      : nullptr;
    if (failed != nullptr)
      outcome(record.combined, text, failed->hostPath, failed->failure);
    else
      outcome(record.combined, text, kNowhere, nullptr);
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
