// Keeps what a line plot of many points needs, in bounded memory: time is cut
// into buckets of equal width on a fixed grid, and each bucket keeps its
// first, last, lowest and highest point, so spikes and the newest point stay
// drawn. When the points held span more than the number of buckets, the width
// doubles and neighbours merge. Points may come in any time order.
// A value type; not thread safe.
#pragma once

#include <map>
#include <vector>

#include "store/record_point.h"

class PlotDecimator {
 public:
  explicit PlotDecimator(int buckets = 1000);

  void Add(const RecordPoint& point);
  // Forgets every bucket that ends at or before localSecond; returns the
  // number of points they held.
  long long DropBefore(long long localSecond);
  void Clear();

  // At most four points per bucket (first, lowest, highest, last; each once),
  // all in time order.
  std::vector<RecordPoint> Points() const;
  // Points held: added since the last Clear and not dropped.
  long long Count() const { return count_; }

 private:
  struct Bucket {
    RecordPoint first, last, low, high;
    long long count = 0;
  };
  static void Put(Bucket& bucket, const RecordPoint& point);
  static void Merge(Bucket& into, const Bucket& from);
  long long Key(long long second) const;
  void Widen();

  std::size_t limit_;
  std::map<long long, Bucket> buckets_;  // by index on the grid of width_
  long long width_ = 1;                  // seconds per bucket
  long long count_ = 0;
  Bucket* recent_ = nullptr;  // the bucket of the last Add (points mostly come in order)
  long long recent_key_ = 0;
};
