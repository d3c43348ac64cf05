// What the data store has done since the process started, for the metrics
// page: records stored per unit (once written), alarm lines, what could not
// be written by reason, whether writing fails now, the last retention sweep.
// Thread safe: the main thread counts, the web server's thread reads.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

class StoreCounters {
 public:
  // Units counted by name; records of further units count only in otherUnits,
  // so a sender inventing names cannot grow the table without bound.
  static constexpr std::size_t kMaxUnits = 1000;

  struct Values {
    std::map<std::string, std::uint64_t> recordsByUnit;
    std::uint64_t recordsOfOtherUnits = 0;
    std::uint64_t alarms = 0;
    std::map<std::string, std::uint64_t, std::less<>> recordsLostByReason;
    std::map<std::string, std::uint64_t, std::less<>> alarmsLostByReason;
    bool swept = false;  // a sweep ran, and the two below are its figures
    double sweepSeconds = 0;
    long long sweepLinesRemoved = 0;
  };

  static StoreCounters& Process();

  void AddRecord(const std::string& unit);
  void AddAlarm();
  void AddLostRecord(std::string_view reason);
  void AddLostAlarm(std::string_view reason);
  // The file and reason of the pass of writes that lost something; empty
  // once a pass lost nothing.
  void SetWriteFailure(std::string failure);
  std::string WriteFailure() const;
  void SetLastSweep(double seconds, long long linesRemoved);
  Values Read() const;

 private:
  static void Add(std::map<std::string, std::uint64_t, std::less<>>& counts,
                  std::string_view key);

  mutable std::mutex mutex_;
  Values values_;             // guarded by mutex_
  std::string writeFailure_;  // guarded by mutex_
};
