// Time on a plot of records: record times are local wall-clock seconds
// (RecordPoint); a plot's time axis counts milliseconds since the epoch, and
// its labels show the short date format the store reads. Stateless, except
// EpochClock, a value type; thread safe.
#pragma once

#include <QString>
#include <QtGlobal>
#include <limits>

#include "store/short_date_format.h"

namespace plot_time {

// Milliseconds since the epoch of a local wall-clock second, as the local
// time zone places it.
qint64 EpochMs(long long localSecond);

// The current moment as a local wall-clock second.
long long NowLocalSecond();

// A QDateTime format for time labels: the date in the order and with the
// separator of format, with its year only when withYear, then "hh:mm".
QString LabelFormat(const ShortDateFormat& format, bool withYear);

// Whether the labels of a range from..to (local seconds) need the year: the
// range crosses a new year, or does not lie in the current year.
bool NeedsYear(long long fromLocalSecond, long long toLocalSecond, int currentYear);

// A time axis from..to (local seconds) widened to whole steps of an hour, a
// few hours, a day or a few days, so that its ticks fall on full hours and
// midnights; at most kMaxTickSteps steps (beyond 3640 days, more).
struct TickRange {
  long long from = 0, to = 0;
  int ticks = 2;
};
inline constexpr int kMaxTickSteps = 5;
TickRange RoundTicks(long long fromLocalSecond, long long toLocalSecond);

// EpochMs for points in time order: the time zone is asked once per local hour.
class EpochClock {
 public:
  qint64 Ms(long long localSecond);

 private:
  long long hour_ = std::numeric_limits<long long>::min();
  qint64 hour_ms_ = 0;
};

}  // namespace plot_time
