#include "app/sensor_window.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <ctime>
#include <utility>

#include "app/camera_picture_panel.h"
#include "app/sensor_series.h"
#include "base/failure_report.h"
#include "store/local_calendar.h"

namespace {

// While a file is being read, the plot is redrawn after this many slices.
constexpr int kSlicesPerRedraw = 16;
const QString kDataExt = QStringLiteral(".dat");

int CurrentYear() { return local_calendar::ToLocal(std::time(nullptr)).year; }

QStringList Names(const QListWidget& list) {
  QStringList names;
  for (int i = 0; i < list.count(); ++i) names.append(list.item(i)->text());
  return names;
}

}  // namespace

SensorWindow::SensorWindow(QString logDirectory, ShortDateFormat format, QWidget* parent)
    : QWidget(parent, Qt::Window), log_directory_(std::move(logDirectory)), format_(format) {
  BuildWindow();
  RefreshFolders();
  poll_timer_->start();
  folder_timer_->start();
}

SensorWindow::~SensorWindow() = default;

void SensorWindow::BuildWindow() {
  setObjectName(QStringLiteral("SensorWindow"));
  setWindowTitle(QStringLiteral("Sensors"));
  resize(1200, 640);
  units_ = new QComboBox(this);
  units_->setObjectName(QStringLiteral("Units"));
  sensors_ = new QListWidget(this);
  sensors_->setObjectName(QStringLiteral("Sensors"));
  not_plotted_ = new QLabel(this);
  not_plotted_->setObjectName(QStringLiteral("NotPlotted"));
  auto* choice = new QVBoxLayout;
  choice->addWidget(new QLabel(QStringLiteral("Unit"), this));
  choice->addWidget(units_);
  choice->addWidget(new QLabel(QStringLiteral("Sensors"), this));
  choice->addWidget(sensors_, 1);
  choice->addWidget(not_plotted_);
  BuildChart();
  pictures_ = new CameraPicturePanel(this);
  auto* row = new QHBoxLayout(this);
  row->addLayout(choice);
  row->addWidget(chart_view_, 1);
  row->addWidget(pictures_);
  sensors_->setFixedWidth(180);

  poll_timer_ = new QTimer(this);
  poll_timer_->setInterval(kPollIntervalMs);
  folder_timer_ = new QTimer(this);
  folder_timer_->setInterval(kFolderIntervalMs);
  connect(poll_timer_, &QTimer::timeout, this, [this] { RunGuarded([this] { ReadSlices(); }); });
  connect(folder_timer_, &QTimer::timeout, this,
          [this] { RunGuarded([this] { RefreshFolders(); }); });
  connect(units_, &QComboBox::currentTextChanged, this,
          [this] { RunGuarded([this] { RefreshSensors(); }); });
  connect(sensors_, &QListWidget::itemChanged, this,
          [this](QListWidgetItem* item) { RunGuarded([this, item] { SensorItemChanged(item); }); });
}

void SensorWindow::BuildChart() {
  chart_ = new QChart;
  chart_->legend()->setAlignment(Qt::AlignBottom);
  time_axis_ = new QDateTimeAxis(chart_);
  time_axis_->setFormat(QStringLiteral("dd.MM. hh:mm"));
  time_axis_->setTickCount(6);
  value_axis_ = new QValueAxis(chart_);
  chart_->addAxis(time_axis_, Qt::AlignBottom);
  chart_->addAxis(value_axis_, Qt::AlignLeft);
  chart_view_ = new QChartView(chart_, this);  // takes the chart
  chart_view_->setObjectName(QStringLiteral("Plot"));
  chart_view_->setRenderHint(QPainter::Antialiasing);
}

void SensorWindow::SelectUnit(const QString& unit) {
  RefreshUnits();
  units_->setCurrentText(unit);
}

void SensorWindow::ShowSensor(const QString& sensor, bool shown) {
  RefreshSensors();
  for (int i = 0; i < sensors_->count(); ++i) {
    QListWidgetItem* item = sensors_->item(i);
    if (item->text() == sensor) item->setCheckState(shown ? Qt::Checked : Qt::Unchecked);
  }
}

QLineSeries* SensorWindow::Series(const QString& sensor) const {
  for (const auto& shown : shown_) {
    if (shown->Sensor() == sensor) return shown->Series();
  }
  return nullptr;
}

long long SensorWindow::NotPlotted() const {
  long long count = 0;
  for (const auto& shown : shown_) count += shown->NotPlotted();
  return count;
}

QString SensorWindow::UnitDirectory() const {
  return units_->currentText().isEmpty()
             ? QString()
             : log_directory_ + QLatin1Char('/') + units_->currentText();
}

void SensorWindow::RefreshFolders() {
  RefreshUnits();
  RefreshSensors();
  pictures_->ShowUnit(UnitDirectory());
}

void SensorWindow::RefreshUnits() {
  QStringList units = QDir(log_directory_).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
  QStringList current;
  for (int i = 0; i < units_->count(); ++i) current.append(units_->itemText(i));
  if (units == current) return;
  QString chosen = units_->currentText();
  QSignalBlocker quiet(units_);
  units_->clear();
  units_->addItems(units);
  units_->setCurrentIndex(std::max(0, static_cast<int>(units.indexOf(chosen))));
  if (units_->currentText() != chosen) RefreshSensors();
}

// The sensors are the unit's ".dat" files but its combined log. Plots of
// sensors that are still there stay as they are.
void SensorWindow::RefreshSensors() {
  QString unitDirectory = UnitDirectory();
  if (unitDirectory != shown_unit_directory_) {
    while (!shown_.empty()) RemoveSeries(shown_.begin());
    QSignalBlocker quiet(sensors_);
    sensors_->clear();  // another unit may have sensors of the same names
    shown_unit_directory_ = unitDirectory;
    pictures_->ShowUnit(unitDirectory);
  }
  QStringList sensors;
  if (!unitDirectory.isEmpty()) {
    for (const QString& name :
         QDir(unitDirectory).entryList({QStringLiteral("*.dat")}, QDir::Files, QDir::Name)) {
      if (name != QLatin1String(kCombinedLogName)) sensors.append(name.chopped(kDataExt.size()));
    }
  }
  if (sensors == Names(*sensors_)) return;
  QSignalBlocker quiet(sensors_);
  sensors_->clear();
  for (const QString& sensor : sensors) {
    auto* item = new QListWidgetItem(sensor, sensors_);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    item->setCheckState(Shown(sensor) != shown_.end() ? Qt::Checked : Qt::Unchecked);
  }
  for (auto shown = shown_.begin(); shown != shown_.end();) {
    shown = sensors.contains((*shown)->Sensor()) ? shown + 1 : RemoveSeries(shown);
  }
}

std::vector<std::unique_ptr<SensorSeries>>::iterator SensorWindow::Shown(const QString& sensor) {
  return std::find_if(shown_.begin(), shown_.end(),
                      [&](const auto& s) { return s->Sensor() == sensor; });
}

std::vector<std::unique_ptr<SensorSeries>>::iterator SensorWindow::RemoveSeries(
    std::vector<std::unique_ptr<SensorSeries>>::iterator shown) {
  QLineSeries* series = (*shown)->Series();
  chart_->removeSeries(series);  // gives the series back
  delete series;
  auto next = shown_.erase(shown);
  UpdateAxes();
  UpdateNotPlotted();
  return next;
}

void SensorWindow::SensorItemChanged(QListWidgetItem* item) {
  QString sensor = item->text();
  auto found = Shown(sensor);
  bool shown = item->checkState() == Qt::Checked;
  if (!shown && found != shown_.end()) {
    RemoveSeries(found);
  } else if (shown && found == shown_.end()) {
    auto* series = new QLineSeries;
    series->setObjectName(sensor);
    chart_->addSeries(series);  // takes the series
    series->attachAxis(time_axis_);
    series->attachAxis(value_axis_);
    std::string path = QDir(UnitDirectory()).filePath(sensor + kDataExt).toStdString();
    shown_.push_back(std::make_unique<SensorSeries>(sensor, path, format_, series));
    ScheduleRead(0);
  }
}

void SensorWindow::ScheduleRead(int delayMs) {
  if (read_scheduled_) return;
  read_scheduled_ = true;
  QTimer::singleShot(delayMs, this, [this] {
    read_scheduled_ = false;
    RunGuarded([this] { ReadSlices(); });
  });
}

// One slice of every shown file per call; called again at once while any
// file holds more, so a large file is read across many turns of the loop.
void SensorWindow::ReadSlices() {
  int year = CurrentYear();
  bool more = false;
  bool redrawWhileReading = ++passes_ % kSlicesPerRedraw == 0;
  bool redrawn = false;
  for (const auto& shown : shown_) {
    bool fileHasMore = shown->ReadSlice(year);
    more = more || fileHasMore;
    if (shown->Dirty() && (!fileHasMore || redrawWhileReading)) {
      shown->Redraw();
      redrawn = true;
    }
  }
  reading_ = more;
  if (redrawn) UpdateAxes();
  UpdateNotPlotted();
  if (more) ScheduleRead(0);
}

void SensorWindow::UpdateAxes() {
  bool any = false;
  qint64 first = 0, last = 0;
  double low = 0, high = 0;
  for (const auto& shown : shown_) {
    qint64 f, l;
    double lo, hi;
    if (!shown->Bounds(f, l, lo, hi)) continue;
    first = any ? std::min(first, f) : f;
    last = any ? std::max(last, l) : l;
    low = any ? std::min(low, lo) : lo;
    high = any ? std::max(high, hi) : hi;
    any = true;
  }
  if (!any) return;
  double margin = high > low ? (high - low) * 0.05 : 1.0;
  value_axis_->setRange(low - margin, high + margin);
  value_axis_->applyNiceNumbers();
  time_axis_->setRange(QDateTime::fromMSecsSinceEpoch(first),
                       QDateTime::fromMSecsSinceEpoch(std::max(last, first + 60000)));
}

void SensorWindow::UpdateNotPlotted() {
  long long count = NotPlotted();
  not_plotted_->setText(
      count == 0 ? QString()
                 : QStringLiteral("%1 line%2 not plotted").arg(count).arg(count == 1 ? "" : "s"));
}
