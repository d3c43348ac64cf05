#include "store/sensor_series.h"

#include <utility>

SensorSeries::SensorSeries(std::string hostPath, ShortDateFormat format, VisibleRange range,
                           std::size_t sliceBytes, int buckets)
    : follower_(std::move(hostPath), format, sliceBytes),
      initial_range_(range),
      range_(range),
      decimator_(buckets) {}

SensorSeries::SensorSeries(std::string hostPath, RecordFileFollower::Opener open,
                           ShortDateFormat format, VisibleRange range, int buckets)
    : follower_(std::move(hostPath), std::move(open), format),
      initial_range_(range),
      range_(range),
      decimator_(buckets) {}

bool SensorSeries::ReadSlice(long long nowLocalSecond, int currentYear, std::size_t maxBytes) {
  RecordFileFollower::Slice slice = follower_.Poll(currentYear, maxBytes);
  last_slice_bytes_ = slice.bytes;
  if (slice.restarted) {
    range_ = initial_range_;
    decimator_.Clear();
    not_plotted_ = outside_ = 0;
    last_outside_.reset();
    dirty_ = true;
  }
  for (const RecordPoint& point : slice.points) Take(point, nowLocalSecond);
  not_plotted_ += slice.skippedLines;
  dirty_ = dirty_ || !slice.points.empty() || slice.skippedLines > 0;
  return slice.more;
}

void SensorSeries::ReadAll(long long nowLocalSecond, int currentYear) {
  while (ReadSlice(nowLocalSecond, currentYear)) {
  }
}

void SensorSeries::Take(const RecordPoint& point, long long nowLocalSecond) {
  long long from = range_.From();
  bool inside = range_.Take(point.localSecond, nowLocalSecond);
  if (range_.From() != from) outside_ += decimator_.DropBefore(range_.From());
  if (inside) {
    decimator_.Add(point);
  } else {
    ++outside_;
    last_outside_ = point;
  }
}

SensorSeries::Snapshot SensorSeries::TakeSnapshot() {
  dirty_ = false;
  Snapshot snapshot;
  snapshot.points = decimator_.Points();
  snapshot.plotted = decimator_.Count();
  snapshot.notPlotted = not_plotted_;
  snapshot.outside = outside_;
  snapshot.lastOutside = last_outside_;
  snapshot.rangeKnown = range_.Known();
  snapshot.from = range_.From();
  snapshot.to = range_.To();
  return snapshot;
}
