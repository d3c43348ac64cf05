#include "store/plot_time.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <algorithm>
#include <ctime>

#include "store/local_calendar.h"

namespace plot_time {

namespace {

constexpr long long kSecondsPerDay = 86400;
constexpr long long kSecondsPerHour = 3600;

long long FloorDiv(long long value, long long divisor) {
  long long quotient = value / divisor;
  return quotient * divisor > value ? quotient - 1 : quotient;
}

int YearOf(long long localSecond) {
  return QDate(1970, 1, 1).addDays(FloorDiv(localSecond, kSecondsPerDay)).year();
}

}  // namespace

qint64 EpochMs(long long localSecond) {
  long long day = FloorDiv(localSecond, kSecondsPerDay);
  int second = static_cast<int>(localSecond - day * kSecondsPerDay);
  QDateTime moment(QDate(1970, 1, 1).addDays(day), QTime::fromMSecsSinceStartOfDay(second * 1000));
  return moment.toMSecsSinceEpoch();
}

long long NowLocalSecond() {
  local_calendar::LocalTime now = local_calendar::ToLocal(std::time(nullptr));
  return static_cast<long long>(now.dayNumber) * kSecondsPerDay + now.secondOfDay;
}

QString LabelFormat(const ShortDateFormat& format, bool withYear) {
  const QString separator = QString(QLatin1Char(format.Separator()));
  const QString day = QStringLiteral("dd"), month = QStringLiteral("MM");
  const QString year = QStringLiteral("yyyy");
  QString date;
  switch (format.DateOrder()) {
    case ShortDateFormat::Order::DayMonthYear:
      date = day + separator + month + (withYear ? separator + year : QString());
      break;
    case ShortDateFormat::Order::MonthDayYear:
      date = month + separator + day + (withYear ? separator + year : QString());
      break;
    case ShortDateFormat::Order::YearMonthDay:
      date = (withYear ? year + separator : QString()) + month + separator + day;
      break;
  }
  return date + QStringLiteral(" hh:mm");
}

bool NeedsYear(long long fromLocalSecond, long long toLocalSecond, int currentYear) {
  int first = YearOf(fromLocalSecond);
  return first != YearOf(toLocalSecond) || first != currentYear;
}

qint64 EpochClock::Ms(long long localSecond) {
  long long hour = FloorDiv(localSecond, kSecondsPerHour);
  if (hour != hour_) {
    hour_ = hour;
    hour_ms_ = EpochMs(hour * kSecondsPerHour);
  }
  return hour_ms_ + (localSecond - hour_ * kSecondsPerHour) * 1000;
}

// The end is rounded up to the next full hour (steps below a day) or
// midnight; the start goes back from it by whole steps, so that a range never
// reaches further into the future than the next midnight.
TickRange RoundTicks(long long fromLocalSecond, long long toLocalSecond) {
  constexpr long long kHour = 3600, kDay = 24 * kHour;
  static const long long steps[] = {kHour,     2 * kHour,  3 * kHour,  6 * kHour, 12 * kHour,
                                    kDay,      2 * kDay,   7 * kDay,   14 * kDay, 28 * kDay,
                                    91 * kDay, 364 * kDay, 3640 * kDay};
  const auto ceilTo = [](long long value, long long step) {
    return (value / step + (value % step > 0 ? 1 : 0)) * step;
  };
  TickRange range;
  for (long long step : steps) {
    range.to = ceilTo(toLocalSecond, std::min(step, kDay));
    const long long count = std::max(1LL, ceilTo(range.to - fromLocalSecond, step) / step);
    range.from = range.to - count * step;
    range.ticks = static_cast<int>(count) + 1;
    if (count <= kMaxTickSteps) break;
  }
  return range;
}

}  // namespace plot_time
