// Times the retention sweep over a generated log tree against two baselines
// in the same run: the I/O floor (every log file read and its bytes written
// to a new file with plain buffered streams) and a plain awk pass doing the
// sweep's job (every log file read, its lines of the kept days written to a
// new file). Prints the ratios and the peak memory.
// Usage: sweep_bench [--full] [--units N] [--keep DIR] [--long-line MB]
//   default: 4 units x 5 sensors x 14 days; --full: 20 units (about 450 MB);
//   --long-line: instead, one log file of a single line of MB megabytes, and
//   the peak memory of sweeping it.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "store/data_controller.h"
#include "store/local_calendar.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSensors = 5;
constexpr int kDays = 14;
constexpr int kRecordSpacingSeconds = 10;
constexpr int kPicturesPerDay = 4;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

class BufferedFile {
 public:
  explicit BufferedFile(const fs::path& path) : file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) std::perror(path.c_str()), std::exit(1);
  }
  ~BufferedFile() { std::fclose(file_); }
  void Write(const std::string& text) { std::fwrite(text.data(), 1, text.size(), file_); }

 private:
  std::FILE* file_;
};

void FromDayNumber(int dayNumber, int& year, int& month, int& day) {
  std::time_t moment = static_cast<std::time_t>(dayNumber) * 86400 + 43200;
  std::tm utc{};
  gmtime_r(&moment, &utc);
  year = utc.tm_year + 1900, month = utc.tm_mon + 1, day = utc.tm_mday;
}

// One unit: alllog.dat with every record, one file per sensor, and a camera
// directory with pictures spread over the days.
std::uintmax_t GenerateUnit(const fs::path& unitDir, const ShortDateFormat& format, int today) {
  fs::create_directories(unitDir / "camera_cam0");
  BufferedFile all(unitDir / "alllog.dat");
  std::vector<std::unique_ptr<BufferedFile>> sensors;
  for (int s = 0; s < kSensors; ++s)
    sensors.push_back(std::make_unique<BufferedFile>(unitDir / ("T" + std::to_string(s) + ".dat")));
  char time[32];
  for (int d = kDays - 1; d >= 0; --d) {
    int year, month, day;
    FromDayNumber(today - d, year, month, day);
    const std::string date = format.Format(year, month, day);
    for (int second = 0; second < 86400; second += kRecordSpacingSeconds) {
      std::snprintf(time, sizeof time, " %02d:%02d:%02d ", second / 3600, second / 60 % 60,
                    second % 60);
      for (int s = 0; s < kSensors; ++s) {
        std::string rest =
            date + time + std::to_string(20 + (second / 7 + s) % 10) + "." + std::to_string(s);
        sensors[s]->Write(rest + "\r\n");
        all.Write(rest + " T" + std::to_string(s) + "\r\n");
      }
    }
    for (int p = 0; p < kPicturesPerDay; ++p) {
      fs::path picture =
          unitDir / "camera_cam0" / ("pic_" + std::to_string(d) + "_" + std::to_string(p) + ".jpg");
      BufferedFile(picture).Write(std::string(2048, 'j'));
      std::time_t stamp = static_cast<std::time_t>(today - d) * 86400 + p * 3600;
      fs::last_write_time(picture, fs::file_time_type::clock::now() -
                                       std::chrono::seconds(std::time(nullptr) - stamp));
    }
  }
  return 0;
}

std::vector<fs::path> LogFiles(const fs::path& logDir) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(logDir)) {
    if (entry.is_regular_file() && entry.path().extension() == ".dat")
      files.push_back(entry.path());
  }
  return files;
}

// The floor: every log file read and written again to a new file that
// replaces it, through stdio's buffered streams.
std::uintmax_t CopyFloor(const fs::path& logDir) {
  std::uintmax_t bytes = 0;
  std::vector<char> buffer(1 << 16);
  for (const fs::path& file : LogFiles(logDir)) {
    fs::path copy = file.string() + ".floor";
    std::FILE* in = std::fopen(file.c_str(), "rb");
    std::FILE* out = std::fopen(copy.c_str(), "wb");
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;) {
      std::fwrite(buffer.data(), 1, n, out);
      bytes += n;
    }
    std::fclose(in);
    std::fclose(out);
    fs::rename(copy, file);
  }
  return bytes;
}

// The awk pass: each log file's lines dated from firstKeptDay on (and its
// undated lines) go to a copy beside it; the copies are removed afterwards,
// untimed, so the tree stays as the sweep should find it.
double AwkPass(const fs::path& logDir, int firstKeptDay) {
  int year, month, day;
  FromDayNumber(firstKeptDay, year, month, day);
  char cut[40];
  std::snprintf(cut, sizeof cut, "%04d%02d%02d", year, month, day);
  std::string command =
      std::string("awk -v cut=") + cut +
      " 'FNR == 1 { if (out != \"\") close(out); out = FILENAME \".awk\" }"
      " { n = split($1, d, \".\"); if (n != 3 || d[3] d[2] d[1] >= cut) print > out }'";
  const std::vector<fs::path> files = LogFiles(logDir);
  for (const fs::path& file : files) command += " '" + file.string() + "'";
  auto start = Clock::now();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "awk failed\n"), std::exit(1);
  double seconds = Seconds(start);
  for (const fs::path& file : files) fs::remove(file.string() + ".awk");
  return seconds;
}

std::uintmax_t TreeBytes(const fs::path& logDir) {
  std::uintmax_t bytes = 0;
  for (const fs::path& file : LogFiles(logDir)) bytes += fs::file_size(file);
  return bytes;
}

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Only the sweep, timed, for profiling it (SWEEP_BENCH_ONLY=1).
bool SweepOnly() { return std::getenv("SWEEP_BENCH_ONLY") != nullptr; }

void Measure(const char* label, const fs::path& root, TDataController& store, int today) {
  const fs::path logDir = root / "log";
  // Each starts without dirty pages, so none pays for another's writeback.
  ::sync();
  if (SweepOnly()) {
    auto start = Clock::now();
    store.DeleteOldData();
    std::printf("%-26s sweep %6.3f s\n", label, Seconds(start));
    return;
  }
  auto start = Clock::now();
  std::uintmax_t bytes = CopyFloor(logDir);
  double floor = Seconds(start);
  ::sync();
  double awk = AwkPass(logDir, today - 6);
  ::sync();
  start = Clock::now();
  store.DeleteOldData();
  double sweep = Seconds(start);
  std::printf(
      "%-26s read %7.1f MB -> %7.1f MB  floor %6.3f s  awk %6.3f s  sweep %6.3f s  "
      "sweep/floor %.2f  sweep/awk %.3f\n",
      label, bytes / 1e6, TreeBytes(logDir) / 1e6, floor, awk, sweep, sweep / floor, sweep / awk);
}

// One log file holding a single dated line of megabytes MB without a line
// end; prints the sweep's time and the peak memory of the process.
int LongLine(const fs::path& root, const ShortDateFormat& format, int megabytes) {
  const fs::path file = root / "log" / "SU1" / "long.dat";
  fs::create_directories(file.parent_path());
  {
    BufferedFile out(file);
    out.Write("01.01.2020 ");
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < megabytes; ++i) out.Write(block);
  }
  const long before = PeakRssKiB();
  TDataController store(root.string());
  store.UseStandardNames();
  store.SetRetentionDays(7);
  store.SetDateFormat(format);
  auto start = Clock::now();
  store.DeleteOldData();
  std::printf(
      "one line of %d MB: sweep %.3f s, peak RSS %.1f MB (%.1f MB before the sweep), %.1f MB "
      "after\n",
      megabytes, Seconds(start), PeakRssKiB() / 1024.0, before / 1024.0, fs::file_size(file) / 1e6);
  fs::remove_all(root);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int units = 4;
  bool keep = false;
  int longLineMegabytes = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--full") == 0) units = 20;
    if (std::strcmp(argv[i], "--units") == 0 && i + 1 < argc) units = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--keep") == 0) keep = true;
    if (std::strcmp(argv[i], "--long-line") == 0 && i + 1 < argc)
      longLineMegabytes = std::atoi(argv[++i]);
  }
  std::string pattern = (fs::temp_directory_path() / "dc_sweep_bench_XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  const fs::path root = pattern;
  const ShortDateFormat format = ShortDateFormat::FromPattern("%d.%m.%Y");
  const int today = local_calendar::ToLocal(std::time(nullptr)).dayNumber;
  if (longLineMegabytes > 0) return LongLine(root, format, longLineMegabytes);

  auto start = Clock::now();
  for (int u = 0; u < units; ++u)
    GenerateUnit(root / "log" / ("SU" + std::to_string(u + 1)), format, today);
  std::printf("tree: %d units x %d sensors x %d days, %.1f MB of logs, generated in %.1f s\n",
              units, kSensors, kDays, TreeBytes(root / "log") / 1e6, Seconds(start));

  TDataController store(root.string());
  store.UseStandardNames();
  store.SetRetentionDays(7);
  store.SetDateFormat(format);
  Measure("first sweep (drops half)", root, store, today);
  Measure("steady sweep (drops none)", root, store, today);
  std::printf("peak RSS %.1f MB (the largest log file is %.1f MB)\n", PeakRssKiB() / 1024.0,
              fs::file_size(root / "log" / "SU1" / "alllog.dat") / 1e6);
  if (!keep) fs::remove_all(root);
  return 0;
}
