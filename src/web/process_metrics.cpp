#include "web/process_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace process_metrics {
namespace {

void Add(QByteArray& text, const char* name, const char* type, const char* help,
         std::optional<double> value, const QByteArray& labels = {}) {
  if (!value) return;
  text += QByteArray("# HELP ") + name + " " + help + "\n";
  text += QByteArray("# TYPE ") + name + " " + type + "\n";
  text += name + (labels.isEmpty() ? QByteArray() : "{" + labels + "}") + " " +
          QByteArray::number(*value, 'g', 17) + "\n";
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// /proc/self/statm: total and resident pages.
std::optional<double> MemoryBytes(int field) {
  std::ifstream statm("/proc/self/statm");
  double pages[2] = {};
  if (!(statm >> pages[0] >> pages[1])) return std::nullopt;
  return pages[field] * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

std::optional<double> OpenDescriptors() {
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return std::nullopt;
  double count = 0;
  while (const dirent* entry = ::readdir(folder))
    if (entry->d_name[0] != '.') ++count;
  ::closedir(folder);
  return count - 1;  // the listing's own descriptor
}

std::optional<double> MaxDescriptors() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return std::nullopt;
  return static_cast<double>(limit.rlim_cur);
}

// The boot time (/proc/stat "btime") plus the start in clock ticks after it
// (field 22 of /proc/self/stat, counted after the name in parentheses).
std::optional<double> StartTime() {
  std::ifstream stat("/proc/self/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t nameEnd = line.rfind(')');
  if (nameEnd == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(nameEnd + 1));
  std::string field;
  for (int i = 3; i <= 22; ++i)
    if (!(fields >> field)) return std::nullopt;
  std::ifstream system("/proc/stat");
  for (std::string key; system >> key;) {
    if (key != "btime") continue;
    double boot = 0;
    system >> boot;
    return boot + std::strtod(field.c_str(), nullptr) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  return std::nullopt;
}

}  // namespace

QByteArray Text() {
  QByteArray text;
  Add(text, "process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.",
      CpuSeconds());
  Add(text, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
      MemoryBytes(1));
  Add(text, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
      MemoryBytes(0));
  Add(text, "process_open_fds", "gauge", "Number of open file descriptors.", OpenDescriptors());
  Add(text, "process_max_fds", "gauge", "Maximum number of open file descriptors.",
      MaxDescriptors());
  Add(text, "process_start_time_seconds", "gauge",
      "Start time of the process since unix epoch in seconds.", StartTime());
  Add(text, "datacontroller_build_info", "gauge", "1, with the program's version as a label.", 1.0,
      "version=\"" DC_VERSION "\"");
  return text;
}

}  // namespace process_metrics
