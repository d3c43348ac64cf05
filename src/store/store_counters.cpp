#include "store/store_counters.h"

StoreCounters& StoreCounters::Process() {
  static StoreCounters counters;
  return counters;
}

void StoreCounters::AddRecord(const std::string& unit) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = values_.recordsByUnit.find(unit);
  if (found != values_.recordsByUnit.end())
    ++found->second;
  else if (values_.recordsByUnit.size() < kMaxUnits)
    values_.recordsByUnit.emplace(unit, 1);
  else
    ++values_.recordsOfOtherUnits;
}

void StoreCounters::AddAlarm() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++values_.alarms;
}

void StoreCounters::Add(std::map<std::string, std::uint64_t, std::less<>>& counts,
                        std::string_view key) {
  auto found = counts.find(key);
  if (found == counts.end()) found = counts.emplace(std::string(key), 0).first;
  ++found->second;
}

void StoreCounters::AddLostRecord(std::string_view reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  Add(values_.recordsLostByReason, reason);
}

void StoreCounters::AddLostAlarm(std::string_view reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  Add(values_.alarmsLostByReason, reason);
}

void StoreCounters::SetWriteFailure(std::string failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeFailure_ = std::move(failure);
}

std::string StoreCounters::WriteFailure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writeFailure_;
}

void StoreCounters::SetLastSweep(double seconds, long long linesRemoved) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_.swept = true;
  values_.sweepSeconds = seconds;
  values_.sweepLinesRemoved = linesRemoved;
}

StoreCounters::Values StoreCounters::Read() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_;
}
