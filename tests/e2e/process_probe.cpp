#include "process_probe.h"

#include <dirent.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

namespace {

int CountEntries(const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

std::string ProcPath(pid_t pid, const char* tail) {
  return "/proc/" + std::to_string(pid) + "/" + tail;
}

}  // namespace

int OpenDescriptorCount(pid_t pid) { return CountEntries(ProcPath(pid, "fd")); }

int ThreadCount(pid_t pid) { return CountEntries(ProcPath(pid, "task")); }

std::int64_t PeakResidentKiB(pid_t pid) {
  std::ifstream status(ProcPath(pid, "status"));
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      std::int64_t kib = -1;
      status >> kib;
      return kib;
    }
    status.ignore(1 << 20, '\n');
  }
  return -1;
}

// Only the soft limit moves, so an unprivileged caller can lift it again.
bool SetFileSizeLimit(pid_t pid, std::uint64_t bytes) {
  struct rlimit limit {};
  if (::prlimit(pid, RLIMIT_FSIZE, nullptr, &limit) != 0) return false;
  limit.rlim_cur = bytes < limit.rlim_max ? static_cast<rlim_t>(bytes) : limit.rlim_max;
  return ::prlimit(pid, RLIMIT_FSIZE, &limit, nullptr) == 0;
}
