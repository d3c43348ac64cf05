#include "store/write_faults.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/failure_report.h"
#include "store/store_counters.h"
#include "store/store_errors.h"

namespace {

// What stands in the way of writing hostPath, as an error number; 0: nothing seen.
int WhyNotWritable(const std::string& hostPath) {
  struct stat info;
  if (::stat(hostPath.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return EISDIR;
    return ::access(hostPath.c_str(), W_OK) == 0 ? 0 : errno;
  }
  if (errno != ENOENT) return errno;
  std::string parent = hostPath.substr(0, hostPath.find_last_of('/'));
  if (::stat(parent.c_str(), &info) != 0) return errno;
  if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  return ::access(parent.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

std::string Counts(std::uint64_t records, std::uint64_t alarms) {
  return std::to_string(records) + (records == 1 ? " record and " : " records and ") +
         std::to_string(alarms) + (alarms == 1 ? " alarm" : " alarms") +
         " lost since the last report";
}

}  // namespace

WriteError WriteError::Of(int errorNumber) { return {errorNumber, std::strerror(errorNumber)}; }

WriteError WriteError::Of(const std::exception_ptr& failure, const std::string& hostPath) {
  try {
    std::rethrow_exception(failure);
  } catch (const EInOutError& error) {
    return Of(error.ErrorNumber());
  } catch (const std::exception& error) {
    int why = WhyNotWritable(hostPath);
    return why != 0 ? Of(why) : WriteError{0, error.what()};
  } catch (...) {
    return {0, "Unknown exception"};
  }
}

const char* WriteError::Label() const {
  switch (errorNumber) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return "no_space";
    case EROFS:
      return "read_only";
    case EACCES:
    case EPERM:
      return "permission";
    case ENOTDIR:
      return "not_a_directory";
    case EISDIR:
      return "is_a_directory";
    case ENOENT:
      return "missing";
    case 0:
      return "other";
    default:
      return "io_error";
  }
}

WriteFaults::WriteFaults()
    : report_(WriteFailureLine), clock_([] { return std::chrono::steady_clock::now(); }) {}

void WriteFaults::LostRecord(const std::string& hostPath, const WriteError& error) {
  ++Lost(hostPath, error).records;
  StoreCounters::Process().AddLostRecord(error.Label());
}

void WriteFaults::LostAlarm(const std::string& hostPath, const WriteError& error) {
  ++Lost(hostPath, error).alarms;
  StoreCounters::Process().AddLostAlarm(error.Label());
}

WriteFaults::Fault& WriteFaults::Lost(const std::string& hostPath, const WriteError& error) {
  if (!lostThisPass_) StoreCounters::Process().SetWriteFailure(hostPath + ": " + error.reason);
  lostThisPass_ = true;
  Fault& fault = faults_[error.errorNumber];
  fault.open = true;
  fault.reason = error.reason;
  if (fault.files.empty()) fault.file = hostPath;
  if (fault.files.size() < kMaxFilesNamed) fault.files.insert(hostPath);
  return fault;
}

void WriteFaults::EndPass(bool wroteSomething) {
  if (!lostThisPass_ && wroteSomething && !faults_.empty()) {
    for (auto& [number, fault] : faults_) fault.open = false;
    StoreCounters::Process().SetWriteFailure("");
  }
  lostThisPass_ = false;
  if (!faults_.empty()) ReportDue();
}

bool WriteFaults::ReportDue() {
  const auto now = clock_();
  bool waiting = false;
  for (auto entry = faults_.begin(); entry != faults_.end();) {
    Fault& fault = entry->second;
    const bool news = fault.records + fault.alarms > 0 || !fault.open;
    if (news && Due(fault, now)) {
      report_(Line(fault));
      fault.reportedOnce = true;
      fault.lastReport = now;
      ResetCounts(fault);
      if (!fault.open) {
        entry = faults_.erase(entry);
        continue;
      }
    } else if (news) {
      waiting = true;
    }
    ++entry;
  }
  return waiting;
}

bool WriteFaults::Due(const Fault& fault, std::chrono::steady_clock::time_point now) const {
  return !fault.reportedOnce || now - fault.lastReport >= kReportInterval;
}

std::string WriteFaults::Line(const Fault& fault) {
  std::string where = fault.file;
  if (fault.files.size() > 1) {
    where += " and " + std::to_string(fault.files.size() - 1);
    where += fault.files.size() == kMaxFilesNamed
                 ? " or more other files"
                 : (fault.files.size() == 2 ? " other file" : " other files");
  }
  if (!fault.open)
    return "Storing again after \"" + fault.reason + "\" (" + where + "); " +
           Counts(fault.records, fault.alarms);
  return "Not stored: " + where + ": " + fault.reason + "; " + Counts(fault.records, fault.alarms);
}

void WriteFaults::ResetCounts(Fault& fault) {
  fault.records = 0;
  fault.alarms = 0;
  fault.files.clear();
}
