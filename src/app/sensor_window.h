// The "Sensors" window: for one unit chosen from the folders of the log
// directory, line plots of the sensors checked in its list (the unit's
// {sensor}.dat files), live as records are stored, and beside them the newest
// picture of each camera folder. Files are read on the main thread in bounded
// slices (RecordFileFollower), one slice per file per turn of the event loop,
// so the unit link is never held up; each plot keeps a bounded number of
// points (PlotDecimator). Main thread only; raises nothing.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "store/short_date_format.h"

class CameraPicturePanel;
class SensorSeries;
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
  static constexpr const char* kCombinedLogName = "alllog.dat";

  // logDirectory: the host path of the log directory. A top-level window.
  SensorWindow(QString logDirectory, ShortDateFormat format, QWidget* parent = nullptr);
  ~SensorWindow() override;

  // Choose a unit and show or hide one of its sensors, as the operator does.
  void SelectUnit(const QString& unit);
  void ShowSensor(const QString& sensor, bool shown);

  // The line series of a shown sensor, or null.
  QLineSeries* Series(const QString& sensor) const;
  // Lines of the shown sensors' files that read as no point.
  long long NotPlotted() const;
  // True while some shown file has bytes not yet read.
  bool Reading() const { return reading_; }
  CameraPicturePanel* Pictures() const { return pictures_; }

 private:
  void BuildWindow();
  void BuildChart();
  void RefreshFolders();
  void RefreshUnits();
  void RefreshSensors();
  void SensorItemChanged(QListWidgetItem* item);
  void ReadSlices();
  void ScheduleRead(int delayMs);
  void UpdateAxes();
  void UpdateNotPlotted();
  QString UnitDirectory() const;
  std::vector<std::unique_ptr<SensorSeries>>::iterator Shown(const QString& sensor);
  std::vector<std::unique_ptr<SensorSeries>>::iterator RemoveSeries(
      std::vector<std::unique_ptr<SensorSeries>>::iterator shown);

  QString log_directory_;
  ShortDateFormat format_;
  std::vector<std::unique_ptr<SensorSeries>> shown_;
  QString shown_unit_directory_;  // the unit whose sensors shown_ holds
  bool reading_ = false;
  int passes_ = 0;
  bool read_scheduled_ = false;

  QComboBox* units_ = nullptr;
  QListWidget* sensors_ = nullptr;
  QLabel* not_plotted_ = nullptr;
  QChart* chart_ = nullptr;
  QChartView* chart_view_ = nullptr;
  QDateTimeAxis* time_axis_ = nullptr;
  QValueAxis* value_axis_ = nullptr;
  CameraPicturePanel* pictures_ = nullptr;
  QTimer* poll_timer_ = nullptr;
  QTimer* folder_timer_ = nullptr;
};
