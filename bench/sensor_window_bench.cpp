// Times the sensor window as an operator uses it, against plain line counts
// of the same files in the same run: opening 1, 20 and 200 week-long sensors
// (one record every 10 s, about 60 000 lines each) and one 500 MB file until
// every plot is drawn, with the longest time the main thread was held
// meanwhile; then the idle window on a unit with two camera folders of
// 10 000 pictures each: the process's CPU share while nothing changes and
// the longest hold of the main thread.
// Usage: sensor_window_bench [--quick]   (offscreen platform; --quick skips
// the 200 sensors and the 500 MB file)
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QLineSeries>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/sensor_window.h"
#include "sample_week.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

double CpuMs(clockid_t clock) {
  timespec used{};
  ::clock_gettime(clock, &used);
  return used.tv_sec * 1e3 + used.tv_nsec / 1e6;
}

// The baseline: read the files in 64 KiB blocks and count their line ends.
double CountLines(const std::vector<std::string>& paths, long& lines) {
  Clock::time_point start = Clock::now();
  std::vector<char> block(1 << 16);
  lines = 0;
  for (const std::string& path : paths) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    for (std::size_t got; (got = std::fread(block.data(), 1, block.size(), file)) > 0;)
      lines += std::count(block.begin(), block.begin() + static_cast<long>(got), '\n');
    std::fclose(file);
  }
  return Ms(start);
}

// The longest gap between turns of the event loop while it runs: what a
// unit's message waits at worst.
class HoldMeter {
 public:
  HoldMeter() {
    timer_.setInterval(1);
    QObject::connect(&timer_, &QTimer::timeout,
                     [this] { longest_ = std::max(longest_, clock_.restart()); });
  }
  void Start() {
    longest_ = 0;
    clock_.start();
    timer_.start();
  }
  qint64 LongestMs() const { return longest_; }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 longest_ = 0;
};

void RunUntil(const std::function<bool()>& done) {
  while (!done())
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
}

void RunFor(int ms) {
  Clock::time_point start = Clock::now();
  RunUntil([&] { return Ms(start) >= ms; });
}

// Opens the window on unit and checks every sensor named, until each plot
// is drawn and the window painted; returns the time taken.
double Open(const fs::path& log, const std::string& unit, const QStringList& sensors,
            const ShortDateFormat& format, qint64& longestHoldMs) {
  Clock::time_point start = Clock::now();
  double cpu = CpuMs(CLOCK_PROCESS_CPUTIME_ID);
  SensorWindow window(QString::fromStdString(log.string()), format);
  window.show();
  window.SelectUnit(QString::fromStdString(unit));
  for (const QString& sensor : sensors) window.ShowSensor(sensor, true);
  HoldMeter meter;  // from the last check on: the reading
  meter.Start();
  RunUntil([&] {
    if (window.Reading()) return false;
    for (const QString& sensor : sensors) {
      if (window.Series(sensor) == nullptr || window.Series(sensor)->count() == 0) return false;
    }
    return true;
  });
  window.grab();
  double ms = Ms(start);
  longestHoldMs = meter.LongestMs();
  Clock::time_point paint = Clock::now();
  window.grab();
  std::printf("  (CPU time of the opening: %.1f ms; one paint of the window: %.1f ms)\n",
              CpuMs(CLOCK_PROCESS_CPUTIME_ID) - cpu, Ms(paint));
  return ms;
}

void Report(const char* label, double openMs, double countMs, qint64 holdMs, long lines,
            std::uintmax_t bytes) {
  std::printf(
      "%-22s %9ld lines %8.1f MB  line count %8.1f ms  open %9.1f ms (%.1f x)  "
      "longest hold %5lld ms\n",
      label, lines, static_cast<double>(bytes) / 1e6, countMs, openMs, openMs / countMs,
      static_cast<long long>(holdMs));
}

void OpenSensors(const fs::path& log, const fs::path& week, int count,
                 const ShortDateFormat& format) {
  const std::string unit = "U" + std::to_string(count);
  fs::create_directories(log / unit);
  std::vector<std::string> paths;
  QStringList sensors;
  std::uintmax_t bytes = 0;
  for (int i = 0; i < count; ++i) {
    fs::path file = log / unit / ("S" + std::to_string(1000 + i) + ".dat");
    fs::copy_file(week, file, fs::copy_options::overwrite_existing);
    paths.push_back(file.string());
    sensors.append(QString("S%1").arg(1000 + i));
    bytes += fs::file_size(file);
  }
  long lines = 0;
  double count_ms = CountLines(paths, lines);
  qint64 hold = 0;
  double open = Open(log, unit, sensors, format, hold);
  std::string label = std::to_string(count) + " week-long sensor" + (count > 1 ? "s" : "");
  Report(label.c_str(), open, count_ms, hold, lines, bytes);
  fs::remove_all(log / unit);
}

// One file of about megabytes MB: the week repeated.
void OpenLargeFile(const fs::path& log, const fs::path& week, int megabytes,
                   const ShortDateFormat& format) {
  fs::create_directories(log / "BIG");
  const std::string file = (log / "BIG" / "T1.dat").string();
  std::ifstream in(week, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  {
    std::ofstream out(file, std::ios::binary);
    for (std::uintmax_t written = 0; written < static_cast<std::uintmax_t>(megabytes) * 1000000;
         written += content.size())
      out << content;
  }
  long lines = 0;
  double count_ms = CountLines({file}, lines);
  qint64 hold = 0;
  double open = Open(log, "BIG", {"T1"}, format, hold);
  Report("one 500 MB file", open, count_ms, hold, lines, fs::file_size(file));
  fs::remove_all(log / "BIG");
}

// Two camera folders of 10 000 pictures each and one sensor; the window
// open on that unit, left alone.
void Idle(const fs::path& log, const fs::path& week, const ShortDateFormat& format) {
  const fs::path unit = log / "CAM";
  fs::create_directories(unit);
  fs::copy_file(week, unit / "T1.dat");
  QImage picture(640, 480, QImage::Format_RGB32);
  picture.fill(Qt::darkCyan);
  for (const char* folder : {"camera_cam0", "camera_cam1"}) {
    fs::create_directories(unit / folder);
    const fs::path first = unit / folder / "p10000.jpg";
    picture.save(QString::fromStdString(first.string()), "JPG");
    for (int i = 1; i < 10000; ++i)
      fs::create_hard_link(first, unit / folder / ("p" + std::to_string(10000 + i) + ".jpg"));
  }
  SensorWindow window(QString::fromStdString(log.string()), format);
  window.show();
  window.SelectUnit("CAM");
  window.ShowSensor("T1", true);
  RunFor(3 * SensorWindow::kFolderIntervalMs);  // settled: read, drawn, folders listed
  const int idleMs = 10000;
  double cpu = CpuMs(CLOCK_PROCESS_CPUTIME_ID);
  double mainCpu = CpuMs(CLOCK_THREAD_CPUTIME_ID);
  QEventLoop idle;
  QTimer::singleShot(idleMs, &idle, &QEventLoop::quit);
  idle.exec();
  cpu = CpuMs(CLOCK_PROCESS_CPUTIME_ID) - cpu;
  mainCpu = CpuMs(CLOCK_THREAD_CPUTIME_ID) - mainCpu;
  HoldMeter meter;  // apart: its own ticks would count as busy
  meter.Start();
  RunFor(idleMs / 2);
  std::printf(
      "idle, 2 x 10000 pictures: CPU %.1f %% of one core (main thread %.1f %%), "
      "longest hold %lld ms over %d s\n",
      100 * cpu / idleMs, 100 * mainCpu / idleMs, static_cast<long long>(meter.LongestMs()),
      idleMs / 2000);
  fs::remove_all(unit);
}

}  // namespace

int main(int argc, char* argv[]) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  fs::path root = fs::temp_directory_path() / ("dc_sensor_bench_" + std::to_string(::getpid()));
  fs::path log = root / "log";
  fs::create_directories(log);
  const ShortDateFormat format = ShortDateFormat::FromPattern("%d.%m.%Y");
  const fs::path week = root / "week.dat";
  sample_week::WriteSensor(week.string(), format, 0, std::time(nullptr));
  OpenSensors(log, week, 1, format);
  OpenSensors(log, week, 20, format);
  if (!quick) {
    OpenSensors(log, week, 200, format);
    OpenLargeFile(log, week, 500, format);
  }
  Idle(log, week, format);
  fs::remove_all(root);
  return 0;
}
