#include "app/sensor_window.h"

#include <fcntl.h>

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDate>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDir>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QPixmap>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

#include "app/camera_picture_panel.h"
#include "base/failure_report.h"
#include "store/local_calendar.h"
#include "store/plot_time.h"

namespace {

const QString kDataExt = QStringLiteral(".dat");

// Twenty colours that stay apart from each other on a white plot.
const QColor kColours[] = {QColor(0x0067A5), QColor(0xBE0032), QColor(0x008856), QColor(0xF38400),
                           QColor(0x875692), QColor(0x882D17), QColor(0x8DB600), QColor(0xE68FAC),
                           QColor(0x848482), QColor(0x2B3D26), QColor(0xF6A600), QColor(0x604E97),
                           QColor(0xB3446C), QColor(0xA1CAF1), QColor(0xF99379), QColor(0xC2B280),
                           QColor(0xDCD300), QColor(0x654522), QColor(0xE25822), QColor(0x222222)};

int CurrentYear() { return local_calendar::ToLocal(std::time(nullptr)).year; }

qint64 SteadyMs() {
  static QElapsedTimer clock = [] {
    QElapsedTimer started;
    started.start();
    return started;
  }();
  return clock.elapsed();
}

QStringList Names(const QListWidget& list) {
  QStringList names;
  for (int i = 0; i < list.count(); ++i) names.append(list.item(i)->text());
  return names;
}

QPixmap ColourMark(const QColor& colour) {
  QPixmap mark(12, 12);
  mark.fill(colour);
  return mark;
}

}  // namespace

SensorWindow::SensorWindow(QString logDirectory, ShortDateFormat format, int retentionDays,
                           QWidget* parent)
    : QWidget(parent, Qt::Window),
      log_directory_(std::move(logDirectory)),
      log_folder_(log_directory_.toStdString()),
      format_(format),
      retention_days_(retentionDays) {
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
  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("NotPlotted"));
  status_->setWordWrap(true);
  status_->setTextFormat(Qt::PlainText);  // sensor names are the units' own
  auto* choice = new QVBoxLayout;
  choice->addWidget(new QLabel(QStringLiteral("Unit"), this));
  choice->addWidget(units_);
  choice->addWidget(new QLabel(QStringLiteral("Sensors"), this));
  choice->addWidget(sensors_, 1);
  choice->addWidget(status_);
  BuildChart();
  pictures_ = new CameraPicturePanel(this);
  auto* pictureScroll = new QScrollArea(this);
  pictureScroll->setWidget(pictures_);
  pictureScroll->setWidgetResizable(true);
  pictureScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  pictureScroll->setMinimumWidth(pictures_->minimumWidth() + 24);
  auto* row = new QHBoxLayout(this);
  row->addLayout(choice);
  row->addWidget(chart_view_, 1);
  row->addWidget(pictureScroll);
  sensors_->setFixedWidth(180);
  status_->setFixedWidth(180);

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
  connect(sensors_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
    if (item != nullptr) RunGuarded([this, item] { ShowScaleOf(item->text()); });
  });
}

// The time axis starts on the days the sweep keeps, so that it is laid out
// with dates before any sensor is shown; the legend is the sensor list.
void SensorWindow::BuildChart() {
  chart_ = new QChart;
  chart_->legend()->hide();
  time_axis_ = new QDateTimeAxis(chart_);
  time_axis_->setTickCount(6);
  time_axis_->setGridLineVisible(true);
  value_axis_ = new QValueAxis(chart_);
  value_axis_->setRange(0, 1);
  chart_->addAxis(time_axis_, Qt::AlignBottom);
  chart_->addAxis(value_axis_, Qt::AlignLeft);
  UpdateAxes();
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
    if (shown->sensor == sensor) return shown->series;
  }
  return nullptr;
}

long long SensorWindow::NotPlotted() const {
  long long count = 0;
  for (const auto& shown : shown_) count += shown->snapshot.notPlotted;
  return count;
}

long long SensorWindow::Outside() const {
  long long count = 0;
  for (const auto& shown : shown_) count += shown->snapshot.outside;
  return count;
}

QString SensorWindow::StatusText() const { return status_->text(); }

QString SensorWindow::UnitDirectory() const {
  return units_->currentText().isEmpty()
             ? QString()
             : log_directory_ + QLatin1Char('/') + units_->currentText();
}

// The chosen unit's folder, read through the tree's confined open.
std::optional<TreeFolder> SensorWindow::UnitFolder() const {
  if (units_->currentText().isEmpty()) return std::nullopt;
  return log_folder_.Child(units_->currentText().toLatin1().toStdString());
}

void SensorWindow::RefreshFolders() {
  RefreshUnits();
  RefreshSensors();
  pictures_->ShowUnit(UnitFolder());
}

// Names are the bytes on disk, each shown as its Latin-1 character.
void SensorWindow::RefreshUnits() {
  QStringList units;
  for (const std::string& unit : log_folder_.Names(true)) units.append(QString::fromLatin1(unit));
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
    while (!shown_.empty()) RemoveShown(shown_.begin());
    QSignalBlocker quiet(sensors_);
    sensors_->clear();  // another unit may have sensors of the same names
    shown_unit_directory_ = unitDirectory;
    pictures_->ShowUnit(UnitFolder());
  }
  QStringList sensors;
  if (std::optional<TreeFolder> unit = UnitFolder()) {
    for (const std::string& file : unit->Names(false)) {
      QString name = QString::fromLatin1(file);
      if (name.endsWith(kDataExt, Qt::CaseInsensitive) && name != QLatin1String(kCombinedLogName))
        sensors.append(name.chopped(kDataExt.size()));
    }
  }
  if (sensors == Names(*sensors_)) return;
  {
    QSignalBlocker quiet(sensors_);
    sensors_->clear();
    for (const QString& sensor : sensors) {
      auto* item = new QListWidgetItem(sensor, sensors_);
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
      item->setCheckState(Find(sensor) != shown_.end() ? Qt::Checked : Qt::Unchecked);
    }
  }
  for (auto shown = shown_.begin(); shown != shown_.end();) {
    shown = sensors.contains((*shown)->sensor) ? shown + 1 : RemoveShown(shown);
  }
  MarkItems();
}

SensorWindow::ShownList::iterator SensorWindow::Find(const QString& sensor) {
  return std::find_if(shown_.begin(), shown_.end(),
                      [&](const auto& s) { return s->sensor == sensor; });
}

SensorWindow::ShownList::iterator SensorWindow::RemoveShown(ShownList::iterator shown) {
  chart_->removeSeries((*shown)->series);  // gives the series back
  delete (*shown)->series;
  bool hadScale = (*shown)->sensor == scale_sensor_;
  auto next = shown_.erase(shown);
  next_reader_ = 0;
  if (hadScale) ShowScaleOf(shown_.empty() ? QString() : shown_.front()->sensor);
  UpdateAxes();
  UpdateStatus();
  MarkItems();
  return next;
}

void SensorWindow::SensorItemChanged(QListWidgetItem* item) {
  QString sensor = item->text();
  auto found = Find(sensor);
  bool shown = item->checkState() == Qt::Checked;
  if (!shown && found != shown_.end()) {
    RemoveShown(found);
  } else if (shown && found == shown_.end()) {
    AddShown(sensor);
    ScheduleRead(0);
  }
}

void SensorWindow::AddShown(const QString& sensor) {
  auto shown = std::make_unique<Shown>();
  shown->sensor = sensor;
  shown->colour = FreeColour();
  shown->series = new QLineSeries;
  shown->series->setObjectName(sensor);
  shown->series->setName(sensor);
  shown->series->setColor(shown->colour);
  chart_->addSeries(shown->series);  // takes the series
  shown->series->attachAxis(time_axis_);
  shown->series->attachAxis(value_axis_);
  TreeFolder unit = *UnitFolder();
  std::string file = (sensor + kDataExt).toLatin1().toStdString();
  shown->data = std::make_unique<SensorSeries>(
      unit.HostPath() + "/" + file, [unit, file] { return unit.Open(file, O_RDONLY); }, format_,
      VisibleRange(retention_days_), kBuckets);
  shown_.push_back(std::move(shown));
  ShowScaleOf(sensor);
  MarkItems();
}

QColor SensorWindow::FreeColour() const {
  const std::size_t count = std::size(kColours);
  for (std::size_t i = 0; i < count + shown_.size(); ++i) {
    const QColor& colour = kColours[i % count];
    bool used = std::any_of(shown_.begin(), shown_.end(),
                            [&](const auto& s) { return s->colour == colour; });
    if (!used || i >= count) return colour;
  }
  return kColours[0];
}

// The shown sensors' colours as marks in the list, in place of a legend.
void SensorWindow::MarkItems() {
  QSignalBlocker quiet(sensors_);
  for (int i = 0; i < sensors_->count(); ++i) {
    QListWidgetItem* item = sensors_->item(i);
    auto shown = Find(item->text());
    item->setIcon(shown == shown_.end() ? QIcon() : QIcon(ColourMark((*shown)->colour)));
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

// At most kBytesPerTurn of all shown files per call, taken in turn from one
// file after the other; called again at once while any file holds more.
// Plots are redrawn in rounds, at most every kRedrawWhileReadingMs while
// files are being read (each redraw repaints the whole chart), and at most
// kRedrawsPerTurn of them per turn (each costs by the number of plots).
void SensorWindow::ReadSlices() {
  const long long now = plot_time::NowLocalSecond();
  const int year = CurrentYear();
  std::size_t budget = kBytesPerTurn;
  bool more = false;
  const std::size_t count = shown_.size();
  std::size_t done = 0;
  for (; done < count && budget > 0; ++done) {
    SensorSeries& data = *shown_[(next_reader_ + done) % count]->data;
    bool fileHasMore = data.ReadSlice(now, year, budget);
    budget -= std::min(budget, data.LastSliceBytes());
    if (fileHasMore) {
      more = true;
      if (budget == 0) break;  // this file goes first next time
    }
  }
  if (count > 0) next_reader_ = (next_reader_ + done) % count;
  more = more || done < count;
  if (!more || SteadyMs() - last_redraw_ms_ >= kRedrawWhileReadingMs) redrawing_ = true;
  const int allowed = redrawing_ ? kRedrawsPerTurn : 0;
  int redraws = allowed;
  auto scale = Find(scale_sensor_);  // first: it sets the value axis the others are drawn on
  if (redraws > 0 && scale != shown_.end() && (*scale)->data->Dirty()) {
    Redraw(**scale);
    --redraws;
  }
  bool waiting = false;  // plots left for the next turn
  for (const auto& shown : shown_) {
    if (!shown->data->Dirty() && !shown->remap) continue;
    if (redraws == 0) {
      waiting = true;
      continue;
    }
    if (shown->data->Dirty()) {
      Redraw(*shown);
    } else {
      Draw(*shown);
    }
    --redraws;
  }
  if (redrawing_ && !waiting) {
    redrawing_ = false;
    last_redraw_ms_ = SteadyMs();
  }
  reading_ = more || waiting;
  if (redraws < allowed) {
    UpdateAxes();
    UpdateStatus();
  }
  if (reading_) ScheduleRead(0);
}

void SensorWindow::Redraw(Shown& shown) {
  shown.snapshot = shown.data->TakeSnapshot();
  const std::vector<RecordPoint>& points = shown.snapshot.points;
  double low = 0, high = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    low = i == 0 ? points[i].value : std::min(low, points[i].value);
    high = i == 0 ? points[i].value : std::max(high, points[i].value);
  }
  double margin = high > low ? (high - low) * 0.05 : 1.0;
  shown.low = low - margin;
  shown.high = high + margin;
  if (shown.sensor == scale_sensor_) ApplyScale();
  Draw(shown);
}

// The sensor's points, its range mapped onto the value axis's range.
void SensorWindow::Draw(Shown& shown) {
  shown.remap = false;
  const double axisLow = value_axis_->min(), axisHigh = value_axis_->max();
  const double factor = (axisHigh - axisLow) / (shown.high - shown.low);
  // All plots together draw at most about kMaxDrawnPoints: painting costs by the point.
  const std::size_t budget =
      std::max<std::size_t>(kMinDrawnPoints, kMaxDrawnPoints / shown_.size());
  std::vector<RecordPoint> thinned;
  const std::vector<RecordPoint>* drawn = &shown.snapshot.points;
  if (drawn->size() > budget) {
    PlotDecimator fewer(static_cast<int>(budget / 4));
    for (const RecordPoint& point : *drawn) fewer.Add(point);
    thinned = fewer.Points();
    drawn = &thinned;
  }
  QList<QPointF> points;
  points.reserve(static_cast<qsizetype>(drawn->size()));
  plot_time::EpochClock clock;
  for (const RecordPoint& point : *drawn) {
    points.append(QPointF(static_cast<qreal>(clock.Ms(point.localSecond)),
                          axisLow + (point.value - shown.low) * factor));
  }
  shown.series->replace(points);
}

// The value axis takes the scale sensor's range (in round numbers), and
// every other sensor is drawn onto it again.
void SensorWindow::ApplyScale() {
  auto scale = Find(scale_sensor_);
  if (scale == shown_.end()) return;
  Shown& shown = **scale;
  const double before = value_axis_->min(), beforeHigh = value_axis_->max();
  value_axis_->setRange(shown.low, shown.high);
  value_axis_->applyNiceNumbers();
  shown.low = value_axis_->min();
  shown.high = value_axis_->max();
  value_axis_->setLabelsColor(shown.colour);
  value_axis_->setLinePenColor(shown.colour);
  if (before == shown.low && beforeHigh == shown.high) return;
  // The scale sensor too: its line was drawn onto the axis as it was before.
  for (const auto& other : shown_) other->remap = true;
  ScheduleRead(0);
}

// The time range: the days shown of every sensor together; before any
// record, the days the sweep keeps up to now.
void SensorWindow::UpdateAxes() {
  bool any = false;
  long long from = 0, to = 0;
  for (const auto& shown : shown_) {
    const SensorSeries::Snapshot& snapshot = shown->snapshot;
    if (!snapshot.rangeKnown) continue;
    from = any ? std::min(from, snapshot.from) : snapshot.from;
    to = any ? std::max(to, snapshot.to) : snapshot.to;
    any = true;
  }
  if (!any) {
    to = plot_time::NowLocalSecond();
    VisibleRange range(retention_days_);
    range.Take(to, to);
    from = range.From();
  }
  const plot_time::TickRange ticks = plot_time::RoundTicks(from, std::max(to, from + 60));
  from = ticks.from;
  to = ticks.to;
  if (time_axis_->tickCount() != ticks.ticks) time_axis_->setTickCount(ticks.ticks);
  QString labels = plot_time::LabelFormat(format_, plot_time::NeedsYear(from, to, CurrentYear()));
  if (time_axis_->format() != labels) time_axis_->setFormat(labels);
  QDateTime first = QDateTime::fromMSecsSinceEpoch(plot_time::EpochMs(from));
  QDateTime last = QDateTime::fromMSecsSinceEpoch(plot_time::EpochMs(to));
  if (time_axis_->min() != first || time_axis_->max() != last) time_axis_->setRange(first, last);
}

void SensorWindow::ShowScaleOf(const QString& sensor) {
  scale_sensor_ = Find(sensor) != shown_.end() ? sensor : QString();
  if (scale_sensor_.isEmpty()) {
    value_axis_->setLabelsColor(Qt::black);
    value_axis_->setLinePenColor(Qt::black);
  }
  ApplyScale();
}

namespace {

QString DateText(const ShortDateFormat& format, long long localSecond) {
  long long day = localSecond / 86400 - (localSecond % 86400 < 0 ? 1 : 0);
  QDate date = QDate(1970, 1, 1).addDays(day);
  int second = static_cast<int>(localSecond - day * 86400);
  return QString::fromStdString(format.Format(date.year(), date.month(), date.day())) +
         QStringLiteral(" %1:%2")
             .arg(second / 3600, 2, 10, QLatin1Char('0'))
             .arg(second / 60 % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

// Lines that read as no record, and per sensor the records outside the shown
// time range (a unit's wrong clock), the last of them named by its date.
void SensorWindow::UpdateStatus() {
  QStringList lines;
  long long count = NotPlotted();
  if (count > 0)
    lines.append(QStringLiteral("%1 line%2 not plotted").arg(count).arg(count == 1 ? "" : "s"));
  for (const auto& shown : shown_) {
    const SensorSeries::Snapshot& snapshot = shown->snapshot;
    if (snapshot.outside == 0) continue;
    QString line = QStringLiteral("%1: %2 record%3 outside the shown days")
                       .arg(shown->sensor)
                       .arg(snapshot.outside)
                       .arg(snapshot.outside == 1 ? "" : "s");
    if (snapshot.lastOutside)
      line += QStringLiteral(" (last dated %1)")
                  .arg(DateText(format_, snapshot.lastOutside->localSecond));
    lines.append(line);
  }
  QString text = lines.join(QLatin1Char('\n'));
  if (status_->text() != text) status_->setText(text);
}
