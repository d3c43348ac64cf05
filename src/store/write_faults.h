// The data store's account of the records and alarm lines it could not
// write. Each one is counted by reason (StoreCounters); the operator gets one
// report per reason at most once a second, naming the file, the system's
// reason and how many records and alarms were lost since the last report, and
// one more when writing works again. The tree counts as not writable from a
// pass of writes that lost something until a pass that lost nothing.
// Main thread only; the clock and where reports go can be replaced.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <string>

// Why a write failed: the error number (0 when the failure had none) and the
// system's text for it ("No space left on device"), or the failure's message.
struct WriteError {
  int errorNumber = 0;
  std::string reason;

  static WriteError Of(int errorNumber);
  // The reason of a failed write to hostPath: an EInOutError's error number;
  // for a failure without one (a directory that could not be made), what the
  // path itself tells (ENOTDIR, EACCES, EROFS, ...), else its message.
  static WriteError Of(const std::exception_ptr& failure, const std::string& hostPath);
  // The short name the metrics count it under ("no_space", "read_only", ...).
  const char* Label() const;
};

class WriteFaults {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Report = std::function<void(const std::string& line)>;
  static constexpr std::chrono::milliseconds kReportInterval{1000};
  // Files named per reason and report at most; further ones are only counted.
  static constexpr std::size_t kMaxFilesNamed = 100;

  // Reports go to standard error (WriteFailureLine) until SetReport.
  WriteFaults();
  void SetReport(Report report) { report_ = std::move(report); }
  void SetClock(Clock clock) { clock_ = std::move(clock); }

  void LostRecord(const std::string& hostPath, const WriteError& error);
  void LostAlarm(const std::string& hostPath, const WriteError& error);
  // Ends one pass of writes (the gathered records, one alarm line): a pass
  // that wrote something and lost nothing ends every fault. Reports what is due.
  void EndPass(bool wroteSomething);
  // Reports what waited for its second; true while something still waits.
  bool ReportDue();

 private:
  struct Fault {
    std::string reason;
    std::string file;             // the first that failed since the report before
    std::set<std::string> files;  // all that failed since, at most kMaxFilesNamed
    std::uint64_t records = 0;    // lost since the last report
    std::uint64_t alarms = 0;
    bool open = true;  // no pass without loss since
    bool reportedOnce = false;
    std::chrono::steady_clock::time_point lastReport;
  };

  Fault& Lost(const std::string& hostPath, const WriteError& error);
  bool Due(const Fault& fault, std::chrono::steady_clock::time_point now) const;
  static std::string Line(const Fault& fault);
  static void ResetCounts(Fault& fault);

  std::map<int, Fault> faults_;  // by error number
  bool lostThisPass_ = false;
  Report report_;
  Clock clock_;
};
