// The sensor window on a small tree under the offscreen platform, and the
// decimation that bounds its plots.
#include "app/sensor_window.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QImage>
#include <QLineSeries>
#include <QListWidget>
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

  SensorWindow window(QString::fromStdString(tree.Dir() + "/log"),
                      ShortDateFormat::FromPattern("%d.%m.%Y"));
  window.SelectUnit("SU1");
  auto* sensors = window.findChild<QListWidget*>("Sensors");
  ASSERT_EQ(sensors->count(), 2);  // the combined log is no sensor
  window.ShowSensor("T1", true);
  window.ShowSensor("T2", true);
  ASSERT_TRUE(
      WaitEventsUntil([&] { return window.Series("T1") && window.Series("T1")->count() == 3; }));
  EXPECT_EQ(window.Series("T1")->points(),
            (QList<QPointF>{{Ms(5, 10, 0), 20.5}, {Ms(5, 11, 0), 21}, {Ms(6, 9, 30), 19.25}}));
  ASSERT_TRUE(
      WaitEventsUntil([&] { return window.Series("T2") && window.Series("T2")->count() == 1; }));
  EXPECT_EQ(window.NotPlotted(), 1);
  ASSERT_EQ(window.Pictures()->Captions().size(), 1);
  EXPECT_TRUE(window.Pictures()->Captions()[0].startsWith("camera_cam0: 20261206_093000.jpg"));

  TDataController store(tree.Dir());
  store.UseStandardNames();
  store.SaveLogRecord("T1 06.12.2026 10:15:00 22.75", "SU1");
  ASSERT_TRUE(WaitEventsUntil([&] { return window.Series("T1")->count() == 4; }));
  EXPECT_EQ(window.Series("T1")->points().back(), QPointF(Ms(6, 10, 15), 22.75));
  window.ShowSensor("T2", false);
  EXPECT_EQ(window.Series("T2"), nullptr);

  // Another unit with a sensor of the same name starts with nothing shown.
  window.SelectUnit("SU2");
  ASSERT_EQ(sensors->count(), 2);
  EXPECT_EQ(sensors->item(0)->checkState(), Qt::Unchecked);
  EXPECT_EQ(window.Series("T1"), nullptr);
  EXPECT_TRUE(window.Pictures()->Captions().isEmpty());
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
  EXPECT_GT(points.back().localSecond, 550000);  // the newest bucket is drawn
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
