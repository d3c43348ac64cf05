// /metrics and the Sensors page's unit list with 10 000 and 100 000 sensors
// (100 per unit, a day of hourly records each), every sensor exported: the
// size of the text and the time of one scrape, against a floor measured in
// the same run (open each sensor file, read its last 4 KiB, close it).
// Usage: metrics_bench [SENSORS...]   (default: 10000 100000)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/path_resolver.h"
#include "store/short_date_format.h"
#include "web/metrics_page.h"
#include "web/sensor_pages.h"

namespace {

constexpr int kSensorsPerUnit = 100;
constexpr int kRuns = 3;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A day of hourly records ending now, as the store writes them.
std::string DayOfRecords() {
  std::string lines;
  std::time_t now = std::time(nullptr);
  ShortDateFormat format = ShortDateFormat::FromEnvironment();
  for (int hour = 23; hour >= 0; --hour) {
    std::time_t at = now - hour * 3600;
    std::tm day{};
    localtime_r(&at, &day);
    char time[16];
    std::snprintf(time, sizeof time, " %02d:00:00 ", day.tm_hour);
    lines += format.Format(day.tm_year + 1900, day.tm_mon + 1, day.tm_mday) + time +
             std::to_string(20 + hour % 7) + ".5\r\n";
  }
  return lines;
}

std::vector<std::string> MakeTree(const std::string& root, int sensors) {
  std::vector<std::string> files;
  std::string records = DayOfRecords();
  for (int i = 0; i < sensors; ++i) {
    std::string unit = root + "/log/SU" + std::to_string(i / kSensorsPerUnit);
    if (i % kSensorsPerUnit == 0) std::filesystem::create_directories(unit);
    files.push_back(unit + "/T" + std::to_string(i % kSensorsPerUnit) + ".dat");
    std::ofstream(files.back(), std::ios::binary) << records;
  }
  return files;
}

double Floor(const std::vector<std::string>& files) {
  auto start = std::chrono::steady_clock::now();
  std::vector<char> buffer(4096);
  long long bytes = 0;
  for (const std::string& file : files) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) std::abort();
    off_t from = std::max<off_t>(0, info.st_size - 4096);
    bytes += ::pread(fd, buffer.data(), buffer.size(), from);
    ::close(fd);
  }
  if (bytes == 0) std::abort();
  return Seconds(start);
}

void Measure(int sensors) {
  std::string root = (std::filesystem::temp_directory_path() / "dc_metrics_XXXXXX").string();
  if (::mkdtemp(root.data()) == nullptr) std::abort();
  std::vector<std::string> files = MakeTree(root, sensors);
  PathResolver tree(root);
  SensorPages pages(tree, 7, static_cast<std::size_t>(sensors));
  double floor = 1e9, scrape = 1e9, list = 1e9;
  std::size_t metricsBytes = 0, unitsBytes = 0, exported = 0;
  for (int run = 0; run < kRuns; ++run) {
    floor = std::min(floor, Floor(files));
    auto start = std::chrono::steady_clock::now();
    NewestRecords newest = pages.Newest();
    QByteArray text = MetricsText(OverviewState{}, newest, tree);
    scrape = std::min(scrape, Seconds(start));
    metricsBytes = static_cast<std::size_t>(text.size());
    exported = newest.records.size();
    start = std::chrono::steady_clock::now();
    unitsBytes = static_cast<std::size_t>(pages.Units().body.size());
    list = std::min(list, Seconds(start));
  }
  std::printf(
      "%6d sensors (%zu exported): /metrics %.1f MB in %.0f ms (%.1fx the floor of %.0f ms, "
      "%.0f bytes and %.1f us per sensor); /api/units %.1f MB in %.0f ms\n",
      sensors, exported, metricsBytes / 1e6, scrape * 1e3, scrape / floor, floor * 1e3,
      static_cast<double>(metricsBytes) / sensors, scrape * 1e6 / sensors, unitsBytes / 1e6,
      list * 1e3);
  std::filesystem::remove_all(root);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {10000, 100000};
  for (int sensors : counts) Measure(sensors);
  return 0;
}
