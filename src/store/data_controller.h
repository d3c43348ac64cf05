// The data store: the names of the data tree below the start directory and
// the file operations the rest of the program builds on (directories, files,
// lists, the newest file, record and alarm logging, the retention sweep).
// Paths are tree paths (".\log\SU1\") resolved against the start directory
// by PathResolver; the process working directory is never changed. Failures
// raise EDataStoreError, EInOutError or EInvalidName with their exact texts.
// Owned by the main window; main thread only.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/helptools.h"
#include "store/append_handles.h"
#include "store/log_batches.h"
#include "store/path_resolver.h"
#include "store/short_date_format.h"
#include "store/write_faults.h"

class ForwardLedger;

class TDataController {
 public:
  // Every name starts empty and RetentionDays at 0 until the owner sets them.
  // The date format is the host's (ShortDateFormat::FromEnvironment()).
  explicit TDataController(std::string startDirectory = PathResolver::ProcessStartDirectory());
  // Writes the records still gathered.
  ~TDataController();
  TDataController(const TDataController&) = delete;
  TDataController& operator=(const TDataController&) = delete;

  std::int32_t RetentionDays = 0;
  std::string LogDir;
  std::string ConfigDir;
  std::string AlarmDir;
  std::string SuSentFile;
  std::string AuReceivedFile;
  std::string DataExt;
  std::string ConfigExt;
  std::string PictureExt;
  std::string AllLogName;
  char FieldSeparator = '\0';

  // Sets the names as the program uses them (".\log\", ".\config\", ...,
  // FieldSeparator blank); RetentionDays is left to SetRetentionDays.
  void UseStandardNames();

  // Checks that path names a directory that can be entered; raises
  // "Can't change into directory " + path otherwise. Nothing else changes:
  // every path resolves against the start directory.
  void ChangeDirectory(const std::string& path) const;
  // Creates one directory level unless a directory of that name exists;
  // raises "Cannot create " + path.
  void MakeDirectory(const std::string& path) const;
  // Creates an empty file unless something that is not a directory has that
  // name (its content stays); raises "Unable to create file " + path.
  void MakeFile(const std::string& path) const;
  // Deletes the file if there is one; reports nothing; never a directory.
  void DeleteFileIfExists(const std::string& path) const;
  // Appends text and CR LF to an existing file, written before the return;
  // raises "File does not exist!" (creating nothing) or EInOutError.
  void AppendLine(const std::string& path, const std::string& text) const;
  // Creates ConfigDir when missing and checks that it can be entered.
  void EnsureConfigDirectory() const;
  // Stores days when it is greater than 1; other values change nothing.
  void SetRetentionDays(std::int32_t days);

  // The files of directory matching mask ("*.*": all, hidden ones included),
  // with recursive also those of its sub-directories where they are met, as
  // absolute entries: start directory, "\", directory as named (joined with
  // "\"), sub-directories as on disk, "\", file name. nullopt when there is
  // no file. Raises "Can't change into directory " + directory.
  std::optional<StringList> ListFiles(const std::string& directory, const std::string& mask,
                                      bool recursive) const;
  // The bare name of the newest non-hidden file of directory by last-write
  // time in two-second steps (first met on equal times), "" when none.
  // Raises "Can't change into directory " + directory.
  std::string LatestFile(const std::string& directory) const;

  // Appends "rest first" to log\{unit}\alllog.dat and "rest" to
  // log\{unit}\{first}.dat, cutting record at FieldSeparator; creates the log
  // directory, the unit's directory and the files when missing. Raises
  // EInvalidName (nothing written) when unit or first field would leave its
  // place in the tree. Unless records are gathered, both lines are written
  // before the return (a record not written raises ENotStored). A line for a
  // file that a file transfer is storing waits and follows the stored bytes
  // (BusyFiles::AppendOrHold). Once written, or lost, the record is counted
  // and told to the record listener.
  void SaveLogRecord(const std::string& record, const std::string& unitName);
  // From now on SaveLogRecord gathers the lines per file and calls schedule
  // when a batch begins; the owner then calls WriteGatheredRecords before its
  // event loop goes idle, and before anything reads the tree or answers a unit.
  void GatherRecords(std::function<void()> schedule);
  // Writes every gathered line, one append per file after one check of the
  // file's identity; a file that cannot be written loses its gathered
  // records, which are counted and reported by Faults(). Nothing to do: no cost.
  void WriteGatheredRecords();
  // Told of every record once its lines are written (notStored empty) or
  // lost (notStored: the system's reason), in the order the records came.
  using RecordListener = std::function<void(std::string_view record, const std::string& notStored)>;
  void SetRecordListener(RecordListener listener) { recordListener_ = std::move(listener); }
  // Appends line to fileName in AlarmDir, creating both when missing; it
  // waits while a file transfer stores that file, as records do.
  // Raises EInvalidName when fileName is not a plain file name, ENotStored
  // (counted and reported by Faults()) when the line cannot be written.
  void AppendAlarm(const std::string& line, const std::string& fileName);
  // What could not be written, and its reports (the owner sets where they go
  // and calls ReportDue about once a second).
  WriteFaults& Faults() { return faults_; }
  // The retention sweep over everything below LogDir. Raises "Can't change
  // into directory " + LogDir when it is missing; files that cannot be swept
  // are skipped and reported once, after the run, to the failure report.
  void DeleteOldData();

  // For tests and benchmarks: the short date format and the clock.
  void SetDateFormat(const ShortDateFormat& format) { dateFormat_ = format; }
  void SetClock(std::function<std::time_t()> now) { now_ = std::move(now); }
  const PathResolver& Resolver() const { return resolver_; }
  // The broker forwarder's positions, which the sweep moves with the files
  // it replaces; not owned, outlives the sweeps. Null: nothing is forwarded.
  void SetForwardLedger(ForwardLedger* ledger) { forwardLedger_ = ledger; }

 private:
  std::string EnterableDirectory(const std::string& path) const;
  std::string UnitDirectory(const std::string& unitName);
  std::string EnsureUnitDirectory(const std::string& hostLogDir, const std::string& unitName) const;
  LogBatches::Unit& UnitLog(const std::string& unitName);
  LogBatches::File& SensorLog(LogBatches::Unit& unit, const std::string& unitName,
                              std::string_view first);
  LogBatches::File& LogFile(LogBatches::Unit& unit, const std::string& unitName,
                            const std::string& fileName);
  std::string RecreateLogFile(const std::string& unitName, const std::string& fileName);
  void GatherRecord(const std::string& record, const std::string& unitName, std::string_view rest,
                    std::string_view first);
  // Returns the failure of the last record lost, if any.
  std::exception_ptr WriteRecords();
  std::string AlarmFile(const std::string& alarmPath, const std::string& fileName) const;

  PathResolver resolver_;
  ShortDateFormat dateFormat_;
  std::function<std::time_t()> now_;
  AppendHandles logHandles_;
  // The unit directories and log files found so far, with the lines gathered
  // for them; a file's path is checked again at each write.
  LogBatches batches_;
  std::function<void()> scheduleWrite_;  // empty: records are written at once
  ForwardLedger* forwardLedger_ = nullptr;
  RecordListener recordListener_;
  WriteFaults faults_;
};
