#include "app/sensor_series.h"

#include <QDate>
#include <QDateTime>
#include <QLineSeries>
#include <QList>
#include <QPointF>
#include <QTime>
#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr long long kSecondsPerDay = 86400;
constexpr long long kSecondsPerHour = 3600;

// Milliseconds since the epoch of a local wall-clock second, as the date axis counts.
qint64 EpochMs(long long localSecond) {
  long long day =
      localSecond >= 0 ? localSecond / kSecondsPerDay : -((-localSecond - 1) / kSecondsPerDay) - 1;
  int second = static_cast<int>(localSecond - day * kSecondsPerDay);
  QDateTime moment(QDate(1970, 1, 1).addDays(day), QTime::fromMSecsSinceStartOfDay(second * 1000));
  return moment.toMSecsSinceEpoch();
}

// EpochMs for points in time order: the time zone is asked once per local hour.
class EpochClock {
 public:
  qint64 Ms(long long localSecond) {
    long long hour = localSecond / kSecondsPerHour - (localSecond % kSecondsPerHour < 0 ? 1 : 0);
    if (hour != hour_) {
      hour_ = hour;
      hourMs_ = EpochMs(hour * kSecondsPerHour);
    }
    return hourMs_ + (localSecond - hour_ * kSecondsPerHour) * 1000;
  }

 private:
  long long hour_ = std::numeric_limits<long long>::min();
  qint64 hourMs_ = 0;
};

}  // namespace

SensorSeries::SensorSeries(QString sensor, const std::string& hostPath,
                           const ShortDateFormat& format, QLineSeries* series)
    : sensor_(std::move(sensor)), follower_(hostPath, format), series_(series) {
  series_->setName(sensor_);
}

bool SensorSeries::ReadSlice(int currentYear) {
  RecordFileFollower::Slice slice = follower_.Poll(currentYear);
  if (slice.restarted) {
    decimator_.Clear();
    not_plotted_ = 0;
    dirty_ = true;
  }
  for (const RecordPoint& point : slice.points) decimator_.Add(point);
  not_plotted_ += slice.skippedLines;
  dirty_ = dirty_ || !slice.points.empty();
  return slice.more;
}

void SensorSeries::Redraw() {
  dirty_ = false;
  QList<QPointF> points;
  EpochClock clock;
  for (const RecordPoint& point : decimator_.Points()) {
    points.append(QPointF(static_cast<qreal>(clock.Ms(point.localSecond)), point.value));
  }
  series_->replace(points);
}

bool SensorSeries::Bounds(qint64& firstMs, qint64& lastMs, double& low, double& high) const {
  const QList<QPointF> points = series_->points();
  if (points.isEmpty()) return false;
  firstMs = static_cast<qint64>(points.front().x());
  lastMs = static_cast<qint64>(points.back().x());
  low = high = points.front().y();
  for (const QPointF& point : points) {
    low = std::min(low, point.y());
    high = std::max(high, point.y());
  }
  return true;
}
