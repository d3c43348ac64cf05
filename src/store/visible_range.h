// Which records a plot of one sensor shows. By default the days the retention
// sweep keeps, ending at the newest record: from midnight retentionDays
// before that record's day to the record itself. A record dated more than a
// day after now (a unit with a wrong clock) never moves the range; nor does
// one far in the past, which simply falls outside it. Or a fixed range that
// the operator picked. Times are local wall-clock seconds (RecordPoint).
// A value type; thread safe to copy.
#pragma once

class VisibleRange {
 public:
  static constexpr long long kSecondsPerDay = 86400;
  // How far past now a record may be dated and still count as the newest.
  static constexpr long long kFutureSlackSeconds = kSecondsPerDay;

  // Follows the newest record; retentionDays whole days before its day.
  explicit VisibleRange(int retentionDays);
  // A fixed range from..to, both included.
  static VisibleRange Between(long long from, long long to);

  // Whether a record at localSecond is shown, moving a following range
  // forward when it is the newest plausible record so far.
  bool Take(long long localSecond, long long nowLocalSecond);

  // False while a following range has seen no plausible record.
  bool Known() const { return known_; }
  long long From() const { return from_; }
  long long To() const { return to_; }

 private:
  VisibleRange() = default;
  void FollowTo(long long newest);

  bool following_ = true;
  int retention_days_ = 0;
  bool known_ = false;
  long long from_ = 0;
  long long to_ = 0;
};
