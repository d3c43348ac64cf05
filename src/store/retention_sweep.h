// One run of the retention sweep over the host directory of the log tree:
// old pictures are deleted unless they are the newest file of their
// directory; a log file that has lines to remove is rewritten through
// RetentionFilter into a temporary file beside it, and one with nothing to
// remove is only read (it keeps its inode and is not written). Replacements
// are made in batches: every temporary file written, the file system flushed
// once, then the renames, then each directory flushed once; a power loss
// leaves either the old or the new file. Temporary files that an interrupted
// run left behind are removed. Symbolic links are never followed or replaced.
// A file that a transfer holds, or that a transfer began on while it was
// being swept, is left for the next run: the check and the rename or
// deletion are one step under the BusyFiles lock. A file or directory that
// cannot be read or rewritten is skipped and noted; the run goes on.
// Main thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/short_date_format.h"

class ForwardLedger;

struct SweepSettings {
  ShortDateFormat format;
  int todayDayNumber = 0;
  int currentYear = 0;
  int retentionDays = 0;
  std::string pictureExt;
  std::string dataExt;
  // Flushes to the disk: the whole file system of fd before the renames
  // (kFileSystem), or the directory fd after them (kDirectory). Raises
  // EInOutError. Empty: syncfs and fsync.
  enum class SyncScope { kFileSystem, kDirectory };
  std::function<void(int fd, SyncScope scope)> sync;
  // Called with a log file's host path when its replacement is written and
  // flushed, just before the check and rename under the busy-file lock.
  std::function<void(const std::string& hostPath)> beforeReplace;
  // The broker forwarder's positions, moved with each replaced file; null
  // when nothing is forwarded.
  ForwardLedger* ledger = nullptr;
};

class RetentionSweep {
 public:
  explicit RetentionSweep(SweepSettings settings);
  ~RetentionSweep();

  // Sweeps every file at any depth below hostLogDirectory, in walk order.
  void Run(const std::string& hostLogDirectory);

  // The notes of skipped files, "" and 0 when none was skipped.
  const std::string& FirstFailure() const { return firstFailure_; }
  int FailureCount() const { return failureCount_; }
  // Lines taken out of the log files that were replaced.
  long long LinesRemoved() const { return linesRemoved_; }

 private:
  void RemoveLeftover(const std::string& hostPath);
  void SweepFile(const std::string& hostDirectory, const std::string& name);
  void SweepPicture(const std::string& hostDirectory, const std::string& name);
  void RewriteLog(const std::string& hostDirectory, const std::string& name);
  void NoteFailure(const std::string& hostPath, const std::string& message);
  void Sync(int fd, SweepSettings::SyncScope scope) const;
  void ReplaceWritten();

  struct Replacement;
  SweepSettings settings_;
  std::vector<std::unique_ptr<Replacement>> written_;  // waiting to replace their files
  long long written_bytes_ = 0;
  std::map<std::string, std::string> newestByDirectory_;  // for this run
  std::string firstFailure_;
  int failureCount_ = 0;
  long long linesRemoved_ = 0;
};
