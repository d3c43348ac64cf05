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
#include "store/path_resolver.h"
#include "store/short_date_format.h"

class TDataController {
 public:
  // Every name starts empty and RetentionDays at 0 until the owner sets them.
  // The date format is the host's (ShortDateFormat::FromEnvironment()).
  explicit TDataController(std::string startDirectory = PathResolver::ProcessStartDirectory());

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
  std::optional<StringList> ListFiles(const std::string& directory, const std::string& mask, bool recursive) const;
  // The bare name of the newest non-hidden file of directory by last-write
  // time in two-second steps (first met on equal times), "" when none.
  // Raises "Can't change into directory " + directory.
  std::string LatestFile(const std::string& directory) const;

  // Appends "rest first" to log\{unit}\alllog.dat and "rest" to
  // log\{unit}\{first}.dat, cutting record at FieldSeparator; creates the log
  // directory, the unit's directory and the files when missing. Raises
  // EInvalidName (nothing written) when unit or first field would leave its
  // place in the tree. A line for a file that a file transfer is storing
  // waits and follows the stored bytes (BusyFiles::AppendOrHold).
  void SaveLogRecord(const std::string& record, const std::string& unitName);
  // Appends line to fileName in AlarmDir, creating both when missing; it
  // waits while a file transfer stores that file, as records do.
  // Raises EInvalidName when fileName is not a plain file name.
  void AppendAlarm(const std::string& line, const std::string& fileName) const;
  // The retention sweep over everything below LogDir. Raises "Can't change
  // into directory " + LogDir when it is missing; files that cannot be swept
  // are skipped and reported once, after the run, to the failure report.
  void DeleteOldData();

  // For tests and benchmarks: the short date format and the clock.
  void SetDateFormat(const ShortDateFormat& format) { dateFormat_ = format; }
  void SetClock(std::function<std::time_t()> now) { now_ = std::move(now); }
  const PathResolver& Resolver() const { return resolver_; }

 private:
  std::string EnterableDirectory(const std::string& path) const;
  std::string UnitDirectory(const std::string& unitName);
  std::string EnsureUnitDirectory(const std::string& hostLogDir, const std::string& unitName) const;
  void AppendLogLine(const std::string& hostDirectory, const std::string& fileName, const std::string& text);
  std::string LogFileHostPath(const std::string& hostDirectory, const std::string& fileName);

  PathResolver resolver_;
  ShortDateFormat dateFormat_;
  std::function<std::time_t()> now_;
  AppendHandles logHandles_;
  // Host paths found for unit directories and their log files; each use
  // checks them again with one stat, so a stale entry is only ever re-resolved.
  std::unordered_map<std::string, std::string> unitDirectories_;
  std::unordered_map<std::string, std::string> logFiles_;
};
