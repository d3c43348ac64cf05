// Keeps what a line plot of many points needs, in bounded memory: the time
// span seen so far is cut into a fixed number of equal buckets and each keeps
// its smallest and its largest value (min/max decimation). A point outside
// the span widens the buckets twofold, merging neighbours, until it fits.
// Points may come in any time order. A value type; not thread safe.
#pragma once

#include <vector>

#include "store/record_point.h"

class PlotDecimator {
 public:
  explicit PlotDecimator(int buckets = 1000);

  void Add(const RecordPoint& point);
  void Clear();

  // At most two points per bucket (its minimum and maximum, in time order),
  // buckets in time order.
  std::vector<RecordPoint> Points() const;
  // Points added since the last Clear.
  long long Count() const { return count_; }

 private:
  struct Bucket {
    bool used = false;
    RecordPoint low;
    RecordPoint high;
  };
  static Bucket Merge(const Bucket& a, const Bucket& b);
  static void Put(Bucket& bucket, const RecordPoint& point);
  void WidenRight();
  void WidenLeft();

  std::vector<Bucket> buckets_;
  long long start_ = 0;  // the first second of bucket 0
  long long width_ = 0;  // seconds per bucket; 0 until the first point
  long long count_ = 0;
};
