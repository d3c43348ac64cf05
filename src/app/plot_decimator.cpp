#include "app/plot_decimator.h"

#include <utility>

PlotDecimator::PlotDecimator(int buckets)
    : buckets_(static_cast<std::size_t>(buckets < 2 ? 2 : buckets + buckets % 2)) {}

void PlotDecimator::Add(const RecordPoint& point) {
  if (width_ == 0) {
    start_ = point.localSecond;
    width_ = 1;
  }
  const long long size = static_cast<long long>(buckets_.size());
  while (point.localSecond >= start_ + size * width_) WidenRight();
  while (point.localSecond < start_) WidenLeft();
  Put(buckets_[static_cast<std::size_t>((point.localSecond - start_) / width_)], point);
  ++count_;
}

void PlotDecimator::Clear() {
  for (Bucket& bucket : buckets_) bucket = Bucket();
  width_ = 0;
  count_ = 0;
}

std::vector<RecordPoint> PlotDecimator::Points() const {
  std::vector<RecordPoint> points;
  for (const Bucket& bucket : buckets_) {
    if (!bucket.used) continue;
    bool lowFirst = bucket.low.localSecond <= bucket.high.localSecond;
    points.push_back(lowFirst ? bucket.low : bucket.high);
    if (bucket.low.localSecond != bucket.high.localSecond ||
        bucket.low.value != bucket.high.value) {
      points.push_back(lowFirst ? bucket.high : bucket.low);
    }
  }
  return points;
}

void PlotDecimator::Put(Bucket& bucket, const RecordPoint& point) {
  if (!bucket.used) {
    bucket = Bucket{true, point, point};
    return;
  }
  if (point.value < bucket.low.value) bucket.low = point;
  if (point.value > bucket.high.value) bucket.high = point;
}

PlotDecimator::Bucket PlotDecimator::Merge(const Bucket& a, const Bucket& b) {
  if (!a.used) return b;
  Bucket merged = a;
  if (b.used) {
    Put(merged, b.low);
    Put(merged, b.high);
  }
  return merged;
}

// The span keeps its start and doubles toward later times.
void PlotDecimator::WidenRight() {
  const std::size_t size = buckets_.size();
  for (std::size_t i = 0; i < size / 2; ++i)
    buckets_[i] = Merge(buckets_[2 * i], buckets_[2 * i + 1]);
  for (std::size_t i = size / 2; i < size; ++i) buckets_[i] = Bucket();
  width_ *= 2;
}

// The span keeps its end and doubles toward earlier times.
void PlotDecimator::WidenLeft() {
  const std::size_t size = buckets_.size();
  for (std::size_t i = size; i-- > size / 2;) {
    std::size_t from = 2 * i - size;
    buckets_[i] = Merge(buckets_[from], buckets_[from + 1]);
  }
  for (std::size_t i = 0; i < size / 2; ++i) buckets_[i] = Bucket();
  start_ -= static_cast<long long>(size) * width_;
  width_ *= 2;
}
