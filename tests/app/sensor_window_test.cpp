// The sensor window on a small tree under the offscreen platform, and the
// decimation that bounds its plots.
#include "app/sensor_window.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDir>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QGraphicsView>
#include <QImage>
#include <QLineSeries>
#include <QListWidget>
#include <QRegularExpression>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/camera_picture_panel.h"
#include "app/event_loop.h"
#include "app/temporary_tree.h"
#include "store/data_controller.h"
#include "store/plot_decimator.h"
#include "store/record_file_follower.h"

namespace {

qreal Ms(int day, int hour, int minute) {
  return static_cast<qreal>(
      QDateTime(QDate(2026, 12, day), QTime(hour, minute)).toMSecsSinceEpoch());
}

void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// Hourly records of the days before today, "date hh:00:00 value" in format.
std::string HourlyRecords(const ShortDateFormat& format, int days) {
  std::string lines;
  for (int hour = 0; hour < days * 24; ++hour) {
    QDate day = QDate::currentDate().addDays(hour / 24 - days);
    lines += format.Format(day.year(), day.month(), day.day()) + " " +
             QTime(hour % 24, 0).toString("hh:mm:ss").toStdString() + " " +
             std::to_string(hour % 7) + "\r\n";
  }
  return lines;
}

// The texts the plot shows, as drawn in its scene.
QStringList PlotTexts(const SensorWindow& window) {
  QStringList texts;
  for (QGraphicsItem* item : window.findChild<QGraphicsView*>("Plot")->scene()->items()) {
    auto* text = dynamic_cast<QGraphicsTextItem*>(item);
    if (text != nullptr && text->isVisible()) texts.append(text->toPlainText());
  }
  return texts;
}

// As the operator does it: the window first, then a sensor checked. The time
// labels are the midnights of the plotted days in the store's date order.
TEST(SensorWindowTest, TheTimeAxisShowsTheDaysOfASensorCheckedAfterTheWindowIsShown) {
  TemporaryTree tree;
  const ShortDateFormat format = ShortDateFormat::FromPattern("%Y-%m-%d");
  WriteFile(tree.Dir() + "/log/SU1/T1.dat", HourlyRecords(format, 3));
  SensorWindow window(QString::fromStdString(tree.Dir() + "/log"), format);
  window.show();
  QCoreApplication::processEvents();  // laid out and drawn before any sensor is
  window.SelectUnit("SU1");
  window.ShowSensor("T1", true);
  ASSERT_TRUE(WaitEventsUntil([&] { return window.Series("T1")->count() == 72; }));
  QCoreApplication::processEvents();
  const QRegularExpression label("^(\\d{4}-)?(\\d\\d)-(\\d\\d) (\\d\\d:\\d\\d)$");
  int dates = 0;
  for (const QString& text : PlotTexts(window)) {
    QRegularExpressionMatch match = label.match(text);
    if (!match.hasMatch()) continue;
    QDate today = QDate::currentDate();
    QDate shown(today.year(), match.captured(2).toInt(), match.captured(3).toInt());
    if (shown > today) shown = shown.addYears(-1);
    EXPECT_LE(shown.daysTo(today), 10) << text.toStdString();
    EXPECT_EQ(match.captured(4), "00:00") << text.toStdString();  // ticks at midnights
    ++dates;
  }
  EXPECT_GE(dates, 3) << PlotTexts(window).join(" | ").toStdString();
}

// A unit whose clock was wrong for a record or two: the axis keeps the week,
// and the records outside it are counted and named below the list.
TEST(SensorWindowTest, RecordsOfAWrongClockAreCountedAndNeverStretchTheTimeAxis) {
  TemporaryTree tree;
  const ShortDateFormat format = ShortDateFormat::FromPattern("%d.%m.%Y");
  const std::string week = HourlyRecords(format, 7);
  WriteFile(tree.Dir() + "/log/SU1/T1.dat",
            week.substr(0, week.size() / 2) + "01.01.2099 10:00:00 1\r\n" +
                week.substr(week.size() / 2) + "01.01.2000 00:00:00 5\r\n");
  SensorWindow window(QString::fromStdString(tree.Dir() + "/log"), format);
  window.SelectUnit("SU1");
  window.ShowSensor("T1", true);
  ASSERT_TRUE(WaitEventsUntil([&] { return window.Series("T1")->count() == 7 * 24; }));
  EXPECT_EQ(window.Outside(), 2);
  EXPECT_GE(window.TimeAxis()->min().date(), QDate::currentDate().addDays(-8));
  EXPECT_LE(window.TimeAxis()->max().date(), QDate::currentDate());
  EXPECT_TRUE(window.StatusText().contains("T1: 2 records outside"))
      << window.StatusText().toStdString();
  EXPECT_TRUE(window.StatusText().contains("01.01.2000 00:00"))
      << window.StatusText().toStdString();
}

TEST(SensorWindowTest, PlotsTheStoredRecordsAndARecordStoredAfterwards) {
  TemporaryTree tree;
  const std::string unit = tree.Dir() + "/log/SU1/";
  WriteFile(unit + "T1.dat",
            "05.12.2026 10:00:00 20.5\r\n05.12.2026 11:00:00 21\r\nnot a record\r\n"
            "06.12.2026 09:30:00 19.25\r\n");
  WriteFile(unit + "T2.dat", "06.12.2026 3\r\n");
  WriteFile(unit + "alllog.dat", "05.12.2026 10:00:00 20.5 T1\r\n");
  std::filesystem::create_directories(unit + "camera_cam0");
  QImage picture(64, 48, QImage::Format_RGB32);
  picture.fill(Qt::darkGreen);
  ASSERT_TRUE(picture.save(QString::fromStdString(unit + "camera_cam0/20261206_093000.jpg")));
  WriteFile(tree.Dir() + "/log/SU2/T1.dat", "06.12.2026 5\r\n");
  WriteFile(tree.Dir() + "/log/SU2/T2.dat", "06.12.2026 6\r\n");
  // Links out of the tree are neither listed nor read; a Latin-1 unit is.
  WriteFile(tree.Dir() + "/outside/T9.dat", "06.12.2026 9\r\n");
  ASSERT_EQ(::symlink((tree.Dir() + "/outside/T9.dat").c_str(), (unit + "T9.dat").c_str()), 0);
  ASSERT_EQ(::symlink((tree.Dir() + "/outside").c_str(), (unit + "camera_out").c_str()), 0);
  WriteFile(tree.Dir() +
                "/log/K\xfc"
                "che/T\xe4.dat",
            "06.12.2026 7\r\n");

  SensorWindow window(QString::fromStdString(tree.Dir() + "/log"),
                      ShortDateFormat::FromPattern("%d.%m.%Y"));
  window.SelectUnit("SU1");
  auto* sensors = window.findChild<QListWidget*>("Sensors");
  ASSERT_EQ(sensors->count(), 2);  // the combined log is no sensor
  window.ShowSensor("T2", true);
  window.ShowSensor("T1", true);  // the value axis shows the last checked one's scale
  ASSERT_TRUE(
      WaitEventsUntil([&] { return window.Series("T1") && window.Series("T1")->count() == 3; }));
  EXPECT_EQ(window.Series("T1")->points(),
            (QList<QPointF>{{Ms(5, 10, 0), 20.5}, {Ms(5, 11, 0), 21}, {Ms(6, 9, 30), 19.25}}));
  ASSERT_TRUE(
      WaitEventsUntil([&] { return window.Series("T2") && window.Series("T2")->count() == 1; }));
  EXPECT_EQ(window.NotPlotted(), 1);
  ASSERT_EQ(window.Pictures()->Captions().size(), 1);
  EXPECT_TRUE(
      QRegularExpression("^camera_cam0: 20261206_093000.jpg  20\\d\\d-\\d\\d-\\d\\d \\d\\d:")
          .match(window.Pictures()->Captions()[0])
          .hasMatch())
      << window.Pictures()->Captions()[0].toStdString();  // the web view's date format

  TDataController store(tree.Dir());
  store.UseStandardNames();
  store.SaveLogRecord("T1 06.12.2026 10:15:00 22.75", "SU1");
  ASSERT_TRUE(WaitEventsUntil([&] { return window.Series("T1")->count() == 4; }));
  EXPECT_EQ(window.Series("T1")->points().back(), QPointF(Ms(6, 10, 15), 22.75));
  sensors->setCurrentItem(sensors->findItems("T2", Qt::MatchExactly).at(0));  // a click
  ASSERT_TRUE(WaitEventsUntil([&] { return window.Series("T2")->at(0).y() == 3; }))
      << window.Series("T2")->at(0).y();
  window.ShowSensor("T2", false);
  EXPECT_EQ(window.Series("T2"), nullptr);

  // Another unit with a sensor of the same name starts with nothing shown.
  window.SelectUnit("SU2");
  ASSERT_EQ(sensors->count(), 2);
  EXPECT_EQ(sensors->item(0)->checkState(), Qt::Unchecked);
  EXPECT_EQ(window.Series("T1"), nullptr);
  EXPECT_TRUE(window.Pictures()->Captions().isEmpty());
  window.SelectUnit(QStringLiteral("Küche"));
  window.ShowSensor(QStringLiteral("Tä"), true);
  ASSERT_TRUE(
      WaitEventsUntil([&] { return window.Series("Tä") && window.Series("Tä")->count() == 1; }));
}

// The whole lines fill exactly one read slice; the next slice holds only a
// line still being written, so the plot must be drawn from the earlier one.
TEST(SensorWindowTest, AFileWhoseLastSliceHoldsOnlyAPartialLineIsStillDrawn) {
  TemporaryTree tree;
  std::string lines;
  for (std::size_t i = 0; lines.size() < RecordFileFollower::kDefaultSliceBytes; ++i) {
    lines += "06.12.2026 " + std::to_string(1000 + i % 9000) + "\n";  // 16 bytes each
  }
  ASSERT_EQ(lines.size(), RecordFileFollower::kDefaultSliceBytes);
  WriteFile(tree.Dir() + "/log/SU1/T1.dat", lines + "06.12.2026 7");
  SensorWindow window(QString::fromStdString(tree.Dir() + "/log"),
                      ShortDateFormat::FromPattern("%d.%m.%Y"));
  window.SelectUnit("SU1");
  window.ShowSensor("T1", true);
  EXPECT_TRUE(WaitEventsUntil([&] { return window.Series("T1")->count() > 0; }));
}

// A picture's header claiming 50 000 x 50 000 pixels (a product that wraps
// around in 32 bits), and nothing after it.
std::string HeaderOnlyHugePicture() {
  QImage image(16, 16, QImage::Format_RGB32);
  image.fill(Qt::gray);
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPG");
  std::string bytes = buffer.data().toStdString();
  std::size_t frame = bytes.find("\xFF\xC0");
  std::size_t scan = bytes.find("\xFF\xDA");
  for (std::size_t at : {frame + 5, frame + 7}) bytes[at] = '\xC3', bytes[at + 1] = '\x50';
  return bytes.substr(0, scan + 2 + (static_cast<unsigned char>(bytes[scan + 3])));
}

double MainThreadCpuMs() {
  timespec used{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return used.tv_sec * 1e3 + used.tv_nsec / 1e6;
}

// A camera whose folder holds 10 000 pictures, the newest a huge one: the
// picture is refused from its header, and while nothing changes the idle
// window's main thread spends less than one listing of the folder would take.
TEST(SensorWindowTest, AFullCameraFolderAndAHugePictureNeverHoldTheMainThread) {
  TemporaryTree tree;
  const std::string camera = tree.Dir() + "/log/SU1/camera_cam0/";
  WriteFile(camera + "100000.jpg", "");
  for (int i = 1; i < 10000; ++i) {
    ASSERT_EQ(::link((camera + "100000.jpg").c_str(),
                     (camera + std::to_string(100000 + i) + ".jpg").c_str()),
              0);
  }
  WriteFile(camera + "newest.jpg", HeaderOnlyHugePicture());
  timespec times[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
  ::utimensat(AT_FDCWD, camera.c_str(), times, 0);  // no change since long ago
  SensorWindow window(QString::fromStdString(tree.Dir() + "/log"),
                      ShortDateFormat::FromPattern("%d.%m.%Y"));
  window.SelectUnit("SU1");
  ASSERT_TRUE(WaitEventsUntil([&] { return !window.Pictures()->Decoding(); }));
  EXPECT_EQ(window.Pictures()->PictureTexts(), QStringList{"picture too large (50000 × 50000)"});
  double start = MainThreadCpuMs();
  QDir(QString::fromStdString(camera)).entryInfoList({"*.jpg"}, QDir::Files, QDir::Time);
  const double oneListingMs = MainThreadCpuMs() - start;
  const long long listings = window.Pictures()->Listings();
  start = MainThreadCpuMs();
  WaitEventsUntil([] { return false; }, 2 * SensorWindow::kFolderIntervalMs + 200);
  EXPECT_LT(MainThreadCpuMs() - start, oneListingMs / 2);
  EXPECT_EQ(window.Pictures()->Listings(), listings);
}

TEST(PlotDecimatorTest, KeepsEachBucketsExtremesInTimeOrderWithinItsBound) {
  PlotDecimator decimator(100);
  for (int i = 0; i < 60000; ++i)
    decimator.Add({i * 10LL, i == 43210 ? -50.0 : static_cast<double>(i % 7)});
  decimator.Add({-1000000, 3});  // earlier than everything so far
  std::vector<RecordPoint> points = decimator.Points();
  EXPECT_EQ(decimator.Count(), 60001);
  EXPECT_LE(points.size(), 400u);
  ASSERT_FALSE(points.empty());
  EXPECT_EQ(points.front().localSecond, -1000000);
  EXPECT_EQ(points[1].localSecond, 0);           // the oldest of the rest stays drawn
  EXPECT_EQ(points.back().localSecond, 599990);  // the newest record is drawn
  bool spikeKept = false;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(points[i - 1].localSecond, points[i].localSecond);
    }
    spikeKept = spikeKept || (points[i].localSecond == 432100 && points[i].value == -50);
  }
  EXPECT_TRUE(spikeKept);
}

}  // namespace
