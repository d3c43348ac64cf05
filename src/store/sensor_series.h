// The plot data of one sensor's log file, read as the file grows: its records
// as points (RecordPoint), those in the visible range (VisibleRange) kept
// decimated (PlotDecimator), the rest counted. A record outside the range (a
// unit with a wrong clock, or one older than the days the plot shows) never
// stretches it. Memory stays bounded whatever the file holds.
// Owned by one reader at a time (any thread, no Qt GUI); not thread safe;
// raises nothing (a file that cannot be opened reads as empty).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "store/plot_decimator.h"
#include "store/record_file_follower.h"
#include "store/visible_range.h"

class SensorSeries {
 public:
  // What a plot draws and says about one file.
  struct Snapshot {
    std::vector<RecordPoint> points;         // decimated, in time order
    long long plotted = 0;                   // records in the range
    long long notPlotted = 0;                // lines that read as no record
    long long outside = 0;                   // records outside the range
    std::optional<RecordPoint> lastOutside;  // the last of those read, to name it
    bool rangeKnown = false;                 // from and to are set
    long long from = 0;                      // the range, local seconds
    long long to = 0;
  };

  // buckets: the decimation's bucket count (PlotDecimator).
  SensorSeries(std::string hostPath, ShortDateFormat format, VisibleRange range,
               std::size_t sliceBytes = RecordFileFollower::kDefaultSliceBytes, int buckets = 1000);
  // The file opened at each read by open (see RecordFileFollower).
  SensorSeries(std::string hostPath, RecordFileFollower::Opener open, ShortDateFormat format,
               VisibleRange range, int buckets = 1000);

  // Reads at most one slice (of at most maxBytes when not 0) of the bytes
  // added since the last read; true when the file holds more bytes now. A
  // replaced file is read anew.
  bool ReadSlice(long long nowLocalSecond, int currentYear, std::size_t maxBytes = 0);
  // The bytes the last ReadSlice read.
  std::size_t LastSliceBytes() const { return last_slice_bytes_; }
  // Reads until the end of the file as it is now.
  void ReadAll(long long nowLocalSecond, int currentYear);

  // True when a snapshot would differ from the last one taken.
  bool Dirty() const { return dirty_; }
  Snapshot TakeSnapshot();

  const std::string& HostPath() const { return follower_.HostPath(); }

 private:
  void Take(const RecordPoint& point, long long nowLocalSecond);

  RecordFileFollower follower_;
  VisibleRange initial_range_;
  VisibleRange range_;
  PlotDecimator decimator_;
  long long not_plotted_ = 0;
  long long outside_ = 0;
  std::optional<RecordPoint> last_outside_;
  bool dirty_ = true;
  std::size_t last_slice_bytes_ = 0;
};
