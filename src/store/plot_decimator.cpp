#include "store/plot_decimator.h"

#include <algorithm>
#include <iterator>

namespace {

long long FloorDiv(long long value, long long divisor) {
  long long quotient = value / divisor;
  return quotient * divisor > value ? quotient - 1 : quotient;
}

bool Earlier(const RecordPoint& a, const RecordPoint& b) { return a.localSecond < b.localSecond; }

}  // namespace

PlotDecimator::PlotDecimator(int buckets)
    : limit_(static_cast<std::size_t>(std::max(2, buckets))) {}

long long PlotDecimator::Key(long long second) const { return FloorDiv(second, width_); }

void PlotDecimator::Add(const RecordPoint& point) {
  long long key = Key(point.localSecond);
  if (recent_ == nullptr || key != recent_key_) {
    recent_ = &buckets_[key];
    recent_key_ = key;
  }
  Put(*recent_, point);
  ++count_;
  while (buckets_.size() > 1 && std::prev(buckets_.end())->first - buckets_.begin()->first >=
                                    static_cast<long long>(limit_)) {
    Widen();
  }
}

long long PlotDecimator::DropBefore(long long localSecond) {
  long long dropped = 0;
  auto end = buckets_.lower_bound(Key(localSecond));
  for (auto it = buckets_.begin(); it != end; ++it) dropped += it->second.count;
  if (end != buckets_.begin()) {
    buckets_.erase(buckets_.begin(), end);
    recent_ = nullptr;
  }
  count_ -= dropped;
  if (buckets_.empty()) width_ = 1;
  return dropped;
}

void PlotDecimator::Clear() {
  buckets_.clear();
  recent_ = nullptr;
  width_ = 1;
  count_ = 0;
}

std::vector<RecordPoint> PlotDecimator::Points() const {
  std::vector<RecordPoint> points;
  points.reserve(buckets_.size() * 4);
  for (const auto& [key, bucket] : buckets_) {
    RecordPoint four[] = {bucket.first, bucket.low, bucket.high, bucket.last};
    std::stable_sort(std::begin(four), std::end(four), Earlier);
    for (const RecordPoint& point : four) {
      bool same = !points.empty() && points.back().localSecond == point.localSecond &&
                  points.back().value == point.value;
      if (!same) points.push_back(point);
    }
  }
  return points;
}

void PlotDecimator::Put(Bucket& bucket, const RecordPoint& point) {
  if (bucket.count++ == 0) {
    bucket.first = bucket.last = bucket.low = bucket.high = point;
    return;
  }
  if (point.localSecond < bucket.first.localSecond) bucket.first = point;
  if (point.localSecond >= bucket.last.localSecond) bucket.last = point;
  if (point.value < bucket.low.value) bucket.low = point;
  if (point.value > bucket.high.value) bucket.high = point;
}

void PlotDecimator::Merge(Bucket& into, const Bucket& from) {
  if (from.count == 0) return;
  if (into.count == 0) {
    into = from;
    return;
  }
  long long count = into.count + from.count;
  Put(into, from.first);
  Put(into, from.low);
  Put(into, from.high);
  Put(into, from.last);
  into.count = count;
}

// Twice the width: buckets 2k and 2k+1 become bucket k.
void PlotDecimator::Widen() {
  std::map<long long, Bucket> wider;
  for (const auto& [key, bucket] : buckets_) Merge(wider[FloorDiv(key, 2)], bucket);
  buckets_.swap(wider);
  width_ *= 2;
  recent_ = nullptr;
}
