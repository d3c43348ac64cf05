// The "Sensors" window: for one unit chosen from the folders of the log
// directory, line plots of the sensors checked in its list (the unit's
// {sensor}.dat files), live as records are stored, and beside them the newest
// picture of each camera folder. Each sensor is drawn on its own value scale
// (its range fills the plot's height) in its own colour; the value axis shows
// the scale of the sensor chosen in the list, whose line is drawn as is. The time axis shows the
// days the retention sweep keeps, ending at the newest record; records outside it (wrong clocks)
// are counted below the list. Files are read on the main thread within a byte budget per turn of
// the event loop, whatever the number of files, so the unit link is never
// held up; each plot keeps a bounded number of points (SensorSeries).
// Main thread only; raises nothing.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/sensor_series.h"
#include "store/short_date_format.h"
#include "store/tree_folder.h"

class CameraPicturePanel;
class QChart;
class QChartView;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QListWidget;
class QListWidgetItem;
class QTimer;
class QValueAxis;

class SensorWindow : public QWidget {
  Q_OBJECT

 public:
  // Records stored while the window is open show within this time.
  static constexpr int kPollIntervalMs = 250;
  // Unit, sensor and camera folders are looked at again this often.
  static constexpr int kFolderIntervalMs = 2000;
  // The most bytes of all shown files read in one turn of the event loop.
  static constexpr std::size_t kBytesPerTurn = 512 << 10;
  // While files are being read, plots are redrawn at most this often.
  static constexpr int kRedrawWhileReadingMs = 1000;
  // Plots redrawn in one turn of the event loop, at most.
  static constexpr int kRedrawsPerTurn = 16;
  // Points drawn by all plots together (each at least kMinDrawnPoints).
  static constexpr std::size_t kMaxDrawnPoints = 40000;
  static constexpr std::size_t kMinDrawnPoints = 200;
  // Decimation buckets of a plot: at most four points each.
  static constexpr int kBuckets = 400;
  static constexpr const char* kCombinedLogName = "alllog.dat";

  // logDirectory: the host path of the log directory; retentionDays: the
  // days the sweep keeps, which the plots show. A top-level window.
  SensorWindow(QString logDirectory, ShortDateFormat format, int retentionDays = 7,
               QWidget* parent = nullptr);
  ~SensorWindow() override;

  // Choose a unit and show or hide one of its sensors, as the operator does.
  void SelectUnit(const QString& unit);
  void ShowSensor(const QString& sensor, bool shown);

  // The line series of a shown sensor, or null.
  QLineSeries* Series(const QString& sensor) const;
  // Lines of the shown sensors' files that read as no point.
  long long NotPlotted() const;
  // Records of the shown sensors outside the shown time range.
  long long Outside() const;
  // The text below the sensor list.
  QString StatusText() const;
  QDateTimeAxis* TimeAxis() const { return time_axis_; }
  // True while some shown file has bytes not yet read.
  bool Reading() const { return reading_; }
  CameraPicturePanel* Pictures() const { return pictures_; }

 private:
  struct Shown {
    QString sensor;
    QLineSeries* series = nullptr;  // owned by the chart
    QColor colour;
    double low = 0, high = 1;  // the value range drawn, margins included
    bool remap = false;        // to be drawn again onto a changed value axis
    std::unique_ptr<SensorSeries> data;
    SensorSeries::Snapshot snapshot;  // as last drawn
  };
  using ShownList = std::vector<std::unique_ptr<Shown>>;

  void BuildWindow();
  void BuildChart();
  void RefreshFolders();
  void RefreshUnits();
  void RefreshSensors();
  void SensorItemChanged(QListWidgetItem* item);
  void AddShown(const QString& sensor);
  QColor FreeColour() const;
  void ReadSlices();
  void Redraw(Shown& shown);
  void Draw(Shown& shown);
  void ApplyScale();
  void ScheduleRead(int delayMs);
  void UpdateAxes();
  void ShowScaleOf(const QString& sensor);
  void UpdateStatus();
  void MarkItems();
  QString UnitDirectory() const;
  std::optional<TreeFolder> UnitFolder() const;
  ShownList::iterator Find(const QString& sensor);
  ShownList::iterator RemoveShown(ShownList::iterator shown);

  QString log_directory_;
  TreeFolder log_folder_;
  ShortDateFormat format_;
  int retention_days_;
  ShownList shown_;
  QString shown_unit_directory_;  // the unit whose sensors shown_ holds
  QString scale_sensor_;          // whose value scale the axis shows
  bool reading_ = false;
  std::size_t next_reader_ = 0;  // where the next turn's reading begins
  qint64 last_redraw_ms_ = 0;
  bool redrawing_ = false;  // a round of redraws is under way, a few plots per turn
  bool read_scheduled_ = false;

  QComboBox* units_ = nullptr;
  QListWidget* sensors_ = nullptr;
  QLabel* status_ = nullptr;
  QChart* chart_ = nullptr;
  QChartView* chart_view_ = nullptr;
  QDateTimeAxis* time_axis_ = nullptr;
  QValueAxis* value_axis_ = nullptr;  // the scale of scale_sensor_
  CameraPicturePanel* pictures_ = nullptr;
  QTimer* poll_timer_ = nullptr;
  QTimer* folder_timer_ = nullptr;
};
