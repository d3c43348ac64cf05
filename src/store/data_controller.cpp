#include "store/data_controller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "base/failure_report.h"
#include "store/busy_files.h"
#include "store/directory_scan.h"
#include "store/local_calendar.h"
#include "store/retention_sweep.h"
#include "store/store_counters.h"
#include "store/store_errors.h"

namespace {

// Unit directories and log files remembered at most; past it all are forgotten
// (after a write) and found again as they are used.
constexpr std::size_t kMaxRemembered = 1024;

std::optional<struct stat> StatOf(const std::string& hostPath) {
  struct stat info;
  if (::stat(hostPath.c_str(), &info) != 0) return std::nullopt;
  return info;
}

bool IsDirectory(const std::string& hostPath) {
  std::optional<struct stat> info = StatOf(hostPath);
  return info && S_ISDIR(info->st_mode);
}

// "Exists" as a file: the name names something that is not a directory.
bool IsFile(const std::optional<struct stat>& info) { return info && !S_ISDIR(info->st_mode); }

// Creates an empty file; false when that fails (also when the name is taken).
bool CreateEmptyFile(const std::string& hostPath) {
  int fd = ::open(hostPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ::close(fd);
  PathResolver::NoteCreated(hostPath);
  return true;
}

// Appends now, or after the upload that holds the file has ended.
void AppendAfterUpload(const std::string& hostPath, const std::string& bytes) {
  BusyFiles::Instance().AppendOrHold(hostPath, bytes,
                                     [&](std::string_view now) { AppendToFile(hostPath, now); });
}

std::string MessageOf(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "Unknown exception";
  }
}

// The list-entry form of the directory as the caller named it.
std::string ListPrefix(const std::string& start, const std::string& directory) {
  bool absolute = !directory.empty() && directory.front() == '/';
  std::string prefix = absolute ? std::string() : start;
  for (std::string_view component : PathResolver::Components(directory)) {
    prefix += absolute && prefix.empty() ? "/" : "\\";
    prefix += component;
  }
  return prefix;
}

}  // namespace

TDataController::TDataController(std::string startDirectory)
    : resolver_(std::move(startDirectory)), dateFormat_(ShortDateFormat::FromEnvironment()) {}

TDataController::~TDataController() { WriteGatheredRecords(); }

void TDataController::UseStandardNames() {
  LogDir = ".\\log\\";
  ConfigDir = ".\\config\\";
  AlarmDir = ".\\alarms\\";
  SuSentFile = "su_sent.dat";
  AuReceivedFile = "au_received.dat";
  DataExt = ".dat";
  ConfigExt = ".ini";
  PictureExt = ".jpg";
  AllLogName = "alllog";
  FieldSeparator = ' ';
}

std::string TDataController::EnterableDirectory(const std::string& path) const {
  std::string host = resolver_.Resolve(path);
  if (!IsDirectory(host) || ::access(host.c_str(), X_OK) != 0) {
    throw EDataStoreError("Can't change into directory " + path);
  }
  return host;
}

void TDataController::ChangeDirectory(const std::string& path) const { EnterableDirectory(path); }

void TDataController::MakeDirectory(const std::string& path) const {
  std::string host = resolver_.Resolve(path);
  if (IsDirectory(host)) return;
  if (::mkdir(host.c_str(), 0777) != 0) throw EDataStoreError("Cannot create " + path);
  PathResolver::NoteCreated(host);
}

void TDataController::MakeFile(const std::string& path) const {
  std::string host = resolver_.Resolve(path);
  if (IsFile(StatOf(host))) return;
  if (!CreateEmptyFile(host)) throw EDataStoreError("Unable to create file " + path);
}

void TDataController::DeleteFileIfExists(const std::string& path) const {
  std::string host = resolver_.Resolve(path);
  struct stat info;
  if (::lstat(host.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) && ::unlink(host.c_str()) == 0)
    PathResolver::NoteRemoved(host);
}

void TDataController::AppendLine(const std::string& path, const std::string& text) const {
  std::string host = resolver_.Resolve(path);
  if (!IsFile(StatOf(host))) throw EDataStoreError("File does not exist!");
  AppendAfterUpload(host, text + "\r\n");
}

void TDataController::EnsureConfigDirectory() const {
  if (!IsDirectory(resolver_.Resolve(ConfigDir))) MakeDirectory(ConfigDir);
  ChangeDirectory(ConfigDir);
}

void TDataController::SetRetentionDays(std::int32_t days) {
  if (days > 1) RetentionDays = days;
}

std::optional<StringList> TDataController::ListFiles(const std::string& directory,
                                                     const std::string& mask,
                                                     bool recursive) const {
  std::string host = EnterableDirectory(directory);
  std::string prefix = ListPrefix(resolver_.StartDirectory(), directory);
  StringList list;
  directory_scan::WalkFiles(host, mask, recursive,
                            [&](const std::string& subPath, const std::string& name) {
                              std::string entry = prefix;
                              if (!subPath.empty()) entry += "\\" + subPath;
                              entry += "\\" + name;
                              for (std::size_t i = prefix.size(); i < entry.size(); ++i)
                                entry[i] = entry[i] == '/' ? '\\' : entry[i];
                              list.push_back(std::move(entry));
                            });
  if (list.empty()) return std::nullopt;
  return list;
}

std::string TDataController::LatestFile(const std::string& directory) const {
  return directory_scan::NewestFile(EnterableDirectory(directory));
}

// The hot path of the data unit: with the unit and sensor known, a record
// costs two appends to memory.
void TDataController::SaveLogRecord(const std::string& record, const std::string& unitName) {
  std::string_view rest = record;
  std::string_view first = CutField(rest, FieldSeparator, 0);
  RequireComponentName(unitName);
  RequireFileBaseName(first);
  if (batches_.FileCount() >= kMaxRemembered) {
    WriteGatheredRecords();
    batches_.Forget();
  }
  const bool beginsBatch = !batches_.HasQueued();
  GatherRecord(record, unitName, rest, first);
  if (!scheduleWrite_) {
    std::exception_ptr failure = WriteRecords();
    if (failure) throw ENotStored(MessageOf(failure));
  } else if (beginsBatch) {
    scheduleWrite_();
  }
}

// A file that cannot be found or made loses the record, which still waits
// for its turn: outcomes are told in the order the records came.
void TDataController::GatherRecord(const std::string& record, const std::string& unitName,
                                   std::string_view rest, std::string_view first) {
  LogBatches::Unit* unit = nullptr;
  try {
    unit = &UnitLog(unitName);
  } catch (...) {
    std::string unitDirectory = resolver_.ResolveFrom(resolver_.Resolve(LogDir), unitName);
    return batches_.NoteLostRecord(record, unitDirectory + "/" + AllLogName + DataExt,
                                   std::current_exception());
  }
  unit->allLog->AddLine(rest, std::string_view(" "), first);
  batches_.Queue(*unit->allLog);
  LogBatches::File* sensor = nullptr;
  try {
    sensor = &SensorLog(*unit, unitName, first);
  } catch (...) {  // the combined line stays: it came first
    std::string sensorPath =
        resolver_.ResolveFrom(unit->hostDirectory, std::string(first) + DataExt);
    return batches_.NoteLostRecord(record, sensorPath, std::current_exception());
  }
  sensor->AddLine(rest);
  batches_.Queue(*sensor);
  batches_.NoteRecord(*unit->allLog, sensor, record);
}

void TDataController::GatherRecords(std::function<void()> schedule) {
  WriteGatheredRecords();
  scheduleWrite_ = std::move(schedule);
}

void TDataController::WriteGatheredRecords() {
  if (batches_.HasQueued()) WriteRecords();
}

// Records count as stored, and are told to the listener, only once written.
std::exception_ptr TDataController::WriteRecords() {
  std::exception_ptr lastFailure;
  WriteError error;  // of lastFailure: the records of one file share their failure
  auto outcome = [&](const LogBatches::File* combined, std::string_view text,
                     const std::string& failedPath, const std::exception_ptr& failure) {
    if (!failure) {
      StoreCounters::Process().AddRecord(combined->unitName);
      if (recordListener_) recordListener_(text, std::string());
      return;
    }
    if (failure != lastFailure) error = WriteError::Of(failure, failedPath);
    faults_.LostRecord(failedPath, error);
    if (recordListener_) recordListener_(text, error.reason);
    lastFailure = failure;
  };
  auto recreate = [this](const LogBatches::File& file) {
    return RecreateLogFile(file.unitName, file.fileName);
  };
  faults_.EndPass(batches_.WriteQueued(logHandles_, recreate, outcome));
  return lastFailure;
}

LogBatches::Unit& TDataController::UnitLog(const std::string& unitName) {
  if (LogBatches::Unit* known = batches_.FindUnit(unitName)) return *known;
  LogBatches::Unit& unit = batches_.AddUnit(unitName, UnitDirectory(unitName));
  unit.allLog = &LogFile(unit, unitName, AllLogName + DataExt);
  unit.allLog->combined = true;
  return unit;
}

LogBatches::File& TDataController::SensorLog(LogBatches::Unit& unit, const std::string& unitName,
                                             std::string_view first) {
  auto known = unit.sensors.find(first);
  if (known != unit.sensors.end()) return *known->second;
  LogBatches::File& file = LogFile(unit, unitName, std::string(first) + DataExt);
  unit.sensors.emplace(std::string(first), &file);
  return file;
}

// Found once per file: the unit's directory is made again when it went
// since, and the file is created when missing.
LogBatches::File& TDataController::LogFile(LogBatches::Unit& unit, const std::string& unitName,
                                           const std::string& fileName) {
  std::string host = resolver_.ResolveFrom(unit.hostDirectory, fileName);
  if (!IsFile(StatOf(host))) host = RecreateLogFile(unitName, fileName);
  return batches_.FileAt(std::move(host), unitName, fileName);
}

std::string TDataController::RecreateLogFile(const std::string& unitName,
                                             const std::string& fileName) {
  std::string host = resolver_.ResolveFrom(UnitDirectory(unitName), fileName);
  if (!IsFile(StatOf(host)) && !CreateEmptyFile(host))
    throw EDataStoreError("Unable to create file " + fileName);
  if (!IsFile(StatOf(host))) throw EDataStoreError("File does not exist!");
  return host;
}

std::string TDataController::UnitDirectory(const std::string& unitName) {
  if (!IsDirectory(resolver_.Resolve(LogDir))) MakeDirectory(LogDir);
  return EnsureUnitDirectory(EnterableDirectory(LogDir), unitName);
}

std::string TDataController::EnsureUnitDirectory(const std::string& hostLogDir,
                                                 const std::string& unitName) const {
  std::string treePath = ".\\" + unitName + "\\";
  std::string host = resolver_.ResolveFrom(hostLogDir, unitName);
  if (!IsDirectory(host)) {
    if (::mkdir(host.c_str(), 0777) != 0) throw EDataStoreError("Cannot create " + treePath);
    PathResolver::NoteCreated(host);
  }
  if (::access(host.c_str(), X_OK) != 0)
    throw EDataStoreError("Can't change into directory " + treePath);
  return host;
}

// A line that cannot be written is counted and reported here, and ends the
// caller's handler without a further report.
void TDataController::AppendAlarm(const std::string& line, const std::string& fileName) {
  RequireComponentName(fileName);
  const std::string alarmPath = ".\\" + AlarmDir;
  std::string host = resolver_.ResolveFrom(resolver_.Resolve(alarmPath), fileName);
  try {
    host = AlarmFile(alarmPath, fileName);
    AppendAfterUpload(host, line + "\r\n");
  } catch (...) {
    faults_.LostAlarm(host, WriteError::Of(std::current_exception(), host));
    faults_.EndPass(false);
    throw ENotStored(MessageOf(std::current_exception()));
  }
  StoreCounters::Process().AddAlarm();
  faults_.EndPass(true);
}

std::string TDataController::AlarmFile(const std::string& alarmPath,
                                       const std::string& fileName) const {
  if (!IsDirectory(resolver_.Resolve(alarmPath))) MakeDirectory(alarmPath);
  std::string host = resolver_.ResolveFrom(EnterableDirectory(alarmPath + "\\"), fileName);
  if (!IsFile(StatOf(host)) && !CreateEmptyFile(host))
    throw EDataStoreError("Unable to create file " + fileName);
  if (!IsFile(StatOf(host))) throw EDataStoreError("File does not exist!");
  return host;
}

void TDataController::DeleteOldData() {
  std::string hostLog = EnterableDirectory(LogDir);
  WriteGatheredRecords();
  logHandles_.CloseAll();
  local_calendar::LocalTime today = local_calendar::ToLocal(now_ ? now_() : std::time(nullptr));
  SweepSettings settings;
  settings.format = dateFormat_;
  settings.todayDayNumber = today.dayNumber;
  settings.currentYear = today.year;
  settings.retentionDays = RetentionDays;
  settings.pictureExt = PictureExt;
  settings.dataExt = DataExt;
  settings.ledger = forwardLedger_;
  RetentionSweep sweep(settings);
  auto started = std::chrono::steady_clock::now();
  sweep.Run(hostLog);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  StoreCounters::Process().SetLastSweep(took.count(), sweep.LinesRemoved());
  if (sweep.FailureCount() == 0) return;
  std::string summary = sweep.FirstFailure();
  if (sweep.FailureCount() > 1)
    summary += " (and " + std::to_string(sweep.FailureCount() - 1) + " more)";
  ReportFailure(EDataStoreError(summary));
}
