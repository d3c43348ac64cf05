// Records per second of SaveLogRecord against a bare loop that appends the
// same two lines to the same two files with open/append/close, same run.
// Usage: save_log_bench [records]   (default 200000)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "store/data_controller.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kRecord = "T1 06.12.2026 12:00:00 21.5";
const std::string kAllLine = "06.12.2026 12:00:00 21.5 T1\r\n";
const std::string kSensorLine = "06.12.2026 12:00:00 21.5\r\n";

void AppendClosing(const std::string& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    std::exit(1);
  ::close(fd);
}

double BareLoop(const fs::path& root, int records) {
  fs::create_directories(root / "bare");
  const std::string all = (root / "bare" / "alllog.dat").string();
  const std::string sensor = (root / "bare" / "T1.dat").string();
  auto start = Clock::now();
  for (int i = 0; i < records; ++i) {
    AppendClosing(all, kAllLine);
    AppendClosing(sensor, kSensorLine);
  }
  return records / std::chrono::duration<double>(Clock::now() - start).count();
}

double Store(const fs::path& root, int records) {
  TDataController store(root.string());
  store.UseStandardNames();
  auto start = Clock::now();
  for (int i = 0; i < records; ++i) store.SaveLogRecord(kRecord, "SU1");
  return records / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 200000;
  std::string pattern = (fs::temp_directory_path() / "dc_save_bench_XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  const fs::path root = pattern;
  double bestBare = 0, bestStore = 0;
  for (int round = 0; round < 3; ++round) {
    fs::remove_all(root / "bare");
    fs::remove_all(root / "log");
    bestBare = std::max(bestBare, BareLoop(root, records));
    bestStore = std::max(bestStore, Store(root, records));
  }
  std::printf(
      "records: %d (best of 3)\nbare open/append/close: %.0f records/s\nSaveLogRecord:          "
      "%.0f records/s\n"
      "SaveLogRecord/bare: %.2f\n",
      records, bestBare, bestStore, bestStore / bestBare);
  fs::remove_all(root);
  return 0;
}
