#include "store/visible_range.h"

namespace {

long long DayStart(long long localSecond) {
  long long day = localSecond / VisibleRange::kSecondsPerDay;
  if (day * VisibleRange::kSecondsPerDay > localSecond) --day;
  return day * VisibleRange::kSecondsPerDay;
}

}  // namespace

VisibleRange::VisibleRange(int retentionDays) : retention_days_(retentionDays) {}

VisibleRange VisibleRange::Between(long long from, long long to) {
  VisibleRange range;
  range.following_ = false;
  range.known_ = true;
  range.from_ = from;
  range.to_ = to;
  return range;
}

bool VisibleRange::Take(long long localSecond, long long nowLocalSecond) {
  if (following_ && localSecond <= nowLocalSecond + kFutureSlackSeconds &&
      (!known_ || localSecond > to_)) {
    FollowTo(localSecond);
  }
  return known_ && localSecond >= from_ && localSecond <= to_;
}

void VisibleRange::FollowTo(long long newest) {
  known_ = true;
  to_ = newest;
  from_ = DayStart(newest) - retention_days_ * kSecondsPerDay;
}
