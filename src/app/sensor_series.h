// The plot of one sensor's log file: follows the file slice by slice and
// keeps a decimated copy of its points for its line series. The series is
// owned by the chart it is added to; this object only fills it.
// Main thread only; raises nothing.
#pragma once

#include <QString>
#include <string>

#include "app/plot_decimator.h"
#include "store/record_file_follower.h"

class QLineSeries;

class SensorSeries {
 public:
  SensorSeries(QString sensor, const std::string& hostPath, const ShortDateFormat& format,
               QLineSeries* series);

  // Reads one slice of the file; true when the file holds more bytes yet.
  bool ReadSlice(int currentYear);
  // True when the points to draw differ from those of the last Redraw.
  bool Dirty() const { return dirty_; }
  // Puts the decimated points into the line series.
  void Redraw();

  const QString& Sensor() const { return sensor_; }
  QLineSeries* Series() const { return series_; }
  long long NotPlotted() const { return not_plotted_; }
  long long Plotted() const { return decimator_.Count(); }
  // The time span and value range of the decimated points; false when none.
  bool Bounds(qint64& firstMs, qint64& lastMs, double& low, double& high) const;

 private:
  QString sensor_;
  RecordFileFollower follower_;
  PlotDecimator decimator_;
  QLineSeries* series_;
  long long not_plotted_ = 0;
  bool dirty_ = false;
};
