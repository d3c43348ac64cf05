// One run of the retention sweep over the host directory of the log tree:
// old pictures are deleted unless they are the newest file of their
// directory; log files are rewritten through RetentionFilter into a
// temporary file beside them, flushed to disk and renamed over the original
// (the directory flushed after). Temporary files that an interrupted run
// left behind are removed. Symbolic links are never followed or replaced.
// A file that a transfer holds, or that a transfer began on while it was
// being swept, is left for the next run: the check and the rename or
// deletion are one step under the BusyFiles lock. A file or directory that
// cannot be read or rewritten is skipped and noted; the run goes on.
// Main thread only.
#pragma once

#include <map>
#include <string>

#include "store/short_date_format.h"

struct SweepSettings {
  ShortDateFormat format;
  int todayDayNumber = 0;
  int currentYear = 0;
  int retentionDays = 0;
  std::string pictureExt;
  std::string dataExt;
};

class RetentionSweep {
 public:
  explicit RetentionSweep(SweepSettings settings);

  // Sweeps every file at any depth below hostLogDirectory, in walk order.
  void Run(const std::string& hostLogDirectory);

  // The notes of skipped files, "" and 0 when none was skipped.
  const std::string& FirstFailure() const { return firstFailure_; }
  int FailureCount() const { return failureCount_; }
  // Lines taken out of the log files that were replaced.
  long long LinesRemoved() const { return linesRemoved_; }

 private:
  void SweepFile(const std::string& hostDirectory, const std::string& name);
  void SweepPicture(const std::string& hostDirectory, const std::string& name);
  void RewriteLog(const std::string& hostDirectory, const std::string& name);
  void NoteFailure(const std::string& hostPath, const std::string& message);

  SweepSettings settings_;
  std::map<std::string, std::string> newestByDirectory_;  // for this run
  std::string firstFailure_;
  int failureCount_ = 0;
  long long linesRemoved_ = 0;
};
