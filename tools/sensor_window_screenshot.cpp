// Draws the real sensor window under the offscreen platform on a generated
// week of two sensors and two camera folders, opened as an operator opens it
// (the window first, then the sensors checked), and writes it as a PNG.
// Usage: sensor_window_screenshot [OUTPUT.png]   (default: docs/sensor_window.png)
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLineSeries>
#include <QLinearGradient>
#include <QPainter>
#include <QTemporaryDir>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "app/camera_picture_panel.h"
#include "app/sensor_window.h"
#include "sample_week.h"

namespace {

// A made-up camera view with its time stamped in.
void WritePicture(const QString& path, const QString& stamp, const QColor& sky) {
  QImage image(640, 480, QImage::Format_RGB32);
  QPainter painter(&image);
  QLinearGradient gradient(0, 0, 0, 480);
  gradient.setColorAt(0, sky);
  gradient.setColorAt(1, QColor(230, 230, 220));
  painter.fillRect(image.rect(), gradient);
  painter.fillRect(QRect(0, 360, 640, 120), QColor(90, 120, 70));
  painter.fillRect(QRect(120, 200, 220, 170), QColor(150, 80, 60));
  painter.fillRect(QRect(200, 290, 60, 80), QColor(60, 40, 30));
  painter.setPen(Qt::white);
  QFont font = painter.font();
  font.setPixelSize(28);
  painter.setFont(font);
  painter.drawText(QRect(16, 16, 608, 40), Qt::AlignLeft, stamp);
  painter.end();
  image.save(path, "JPG");
}

void WriteCamera(const QDir& unit, const QString& folder, std::time_t end, const QColor& sky) {
  unit.mkpath(folder);
  for (int hoursBack : {5, 3, 1}) {
    QDateTime moment = QDateTime::fromSecsSinceEpoch(end - hoursBack * 3600);
    QString name = moment.toString("yyyyMMdd_hhmmss") + ".jpg";
    QString path = unit.filePath(folder + "/" + name);
    WritePicture(path, folder + "  " + moment.toString("yyyy-MM-dd hh:mm"), sky);
    QFile file(path);
    file.open(QIODevice::ReadWrite);
    file.setFileTime(moment, QFileDevice::FileModificationTime);
  }
}

void WriteTree(const QDir& log, const ShortDateFormat& format, std::time_t end) {
  log.mkpath("SU_HALL");
  log.mkpath("SU_GATE");
  QDir unit(log.filePath("SU_HALL"));
  sample_week::WriteSensor(unit.filePath("T1.dat").toStdString(), format, 0, end);
  sample_week::WriteSensor(unit.filePath("H1.dat").toStdString(), format, 1, end);
  std::ofstream(unit.filePath("H1.dat").toStdString(), std::ios::app) << "sensor restarted\r\n\r\n";
  std::ofstream(unit.filePath("alllog.dat").toStdString()) << "";
  WriteCamera(unit, "camera_cam0", end, QColor(110, 160, 220));
  WriteCamera(unit, "camera_cam1", end, QColor(200, 150, 110));
}

}  // namespace

int main(int argc, char* argv[]) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QString output = QDir::current().absoluteFilePath(
      argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/sensor_window.png"));
  QTemporaryDir tree;
  if (!tree.isValid()) return 1;
  const ShortDateFormat format = ShortDateFormat::FromPattern("%d.%m.%Y");
  QDir log(tree.filePath("log"));
  log.mkpath(".");
  WriteTree(log, format, std::time(nullptr));
  // As an operator opens it: the window first, then the unit and its sensors.
  SensorWindow window(log.path(), format);
  window.show();
  QApplication::processEvents();
  window.SelectUnit("SU_HALL");
  window.ShowSensor("T1", true);
  window.ShowSensor("H1", true);
  while (window.Reading() || window.Series("H1")->count() == 0 || window.Pictures()->Decoding())
    QApplication::processEvents();
  QApplication::processEvents();
  if (!window.grab().save(output, "PNG")) {
    std::fprintf(stderr, "sensor_window_screenshot: cannot write %s\n",
                 output.toLocal8Bit().constData());
    return 1;
  }
  std::printf("wrote %s\n", output.toLocal8Bit().constData());
  return 0;
}
