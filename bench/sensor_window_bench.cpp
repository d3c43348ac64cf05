// Times opening the sensor window on a week of one sensor at one record every
// 10 s (about 60 000 lines) until its plot is drawn, against a plain count of
// the same file's lines in the same run; then the cost of one live update
// (a record appended and shown) and of drawing the window once. Prints the
// median of several runs.
// Usage: sensor_window_bench [RUNS]   (default 5; offscreen platform)
#include <QApplication>
#include <QCoreApplication>
#include <QLineSeries>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The baseline: read the file in 64 KiB blocks and count its line ends.
double CountLines(const std::string& path, long& lines) {
  Clock::time_point start = Clock::now();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  std::vector<char> block(1 << 16);
  lines = 0;
  for (std::size_t got; (got = std::fread(block.data(), 1, block.size(), file)) > 0;) {
    lines += std::count(block.begin(), block.begin() + static_cast<long>(got), '\n');
  }
  std::fclose(file);
  return Ms(start);
}

void RunUntil(const std::function<bool()>& done) {
  while (!done())
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
}

// Opening: window built, unit and sensor chosen, file read, plot drawn.
double OpenWindow(const fs::path& log, const ShortDateFormat& format, double& updateMs,
                  double& frameMs, int& drawn) {
  Clock::time_point start = Clock::now();
  SensorWindow window(QString::fromStdString(log.string()), format);
  window.SelectUnit("SU1");
  window.ShowSensor("T1", true);
  window.show();
  RunUntil([&] { return window.Series("T1")->count() > 0 && !window.Reading(); });
  window.grab();
  double openMs = Ms(start);
  drawn = static_cast<int>(window.Series("T1")->count());
  int before = drawn;
  std::ofstream(log / "SU1" / "T1.dat", std::ios::app)
      << format.Format(2099, 1, 1) << " 00:00:00 1\r\n";
  Clock::time_point update = Clock::now();
  RunUntil([&] { return window.Series("T1")->count() != before; });
  updateMs = Ms(update);  // includes up to one poll interval of waiting
  Clock::time_point frame = Clock::now();
  window.grab();
  frameMs = Ms(frame);
  return openMs;
}

}  // namespace

int main(int argc, char* argv[]) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  fs::path root = fs::temp_directory_path() / ("dc_sensor_bench_" + std::to_string(::getpid()));
  fs::path log = root / "log";
  fs::create_directories(log / "SU1");
  const ShortDateFormat format = ShortDateFormat::FromPattern("%d.%m.%Y");
  const std::string file = (log / "SU1" / "T1.dat").string();
  std::vector<double> opens, counts, updates, frames;
  long lines = 0;
  int drawn = 0;
  for (int run = 0; run < runs; ++run) {
    sample_week::WriteSensor(file, format, 0, std::time(nullptr));
    counts.push_back(CountLines(file, lines));
    double update = 0, frame = 0;
    opens.push_back(OpenWindow(log, format, update, frame, drawn));
    updates.push_back(update);
    frames.push_back(frame);
  }
  double open = Median(opens), count = Median(counts);
  std::printf("file: %ld lines, %.1f MB; plot holds %d points\n", lines,
              static_cast<double>(fs::file_size(file)) / 1e6, drawn);
  std::printf("plain line count:        %8.2f ms\n", count);
  std::printf("open window, plot drawn: %8.2f ms  (ratio %.1f x the line count)\n", open,
              open / count);
  std::printf("one live record shown:   %8.2f ms  (poll interval %d ms included)\n",
              Median(updates), SensorWindow::kPollIntervalMs);
  std::printf("draw the window once:    %8.2f ms  (ratio %.1f x the line count)\n", Median(frames),
              Median(frames) / count);
  fs::remove_all(root);
  return 0;
}
