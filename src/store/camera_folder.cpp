#include "store/camera_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <utility>

namespace {

// A change this close to a listing may have come just after it within the
// same tick of the file system's clock: the folder is listed again next time.
constexpr long long kSettleNs = 2'000'000'000;

bool Same(const std::timespec& a, const std::timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool Later(const std::timespec& a, const std::timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

long long Ns(const std::timespec& time) {
  return static_cast<long long>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

bool IsPicture(const char* name) {
  std::size_t length = std::strlen(name);
  return length > 4 && name[0] != '.' && ::strcasecmp(name + length - 4, ".jpg") == 0;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

CameraFolder::CameraFolder(std::string hostPath) : path_(std::move(hostPath)) {}

bool CameraFolder::Refresh() {
  struct stat folder;
  if (::stat(path_.c_str(), &folder) != 0) {
    bool had = newest_.has_value();
    newest_.reset();
    stamped_ = false;
    return had;
  }
  std::optional<Picture> newest;
  if (stamped_ && Same(folder.st_mtim, stamp_)) {
    if (!newest_) return false;
    struct stat shown;
    std::string shownPath = path_ + "/" + newest_->name;
    if (::stat(shownPath.c_str(), &shown) == 0 && S_ISREG(shown.st_mode)) {
      newest = Picture{newest_->name, shown.st_mtim, shown.st_size};
    } else {
      newest = ListNewest();  // gone without the folder's time moving
    }
  } else {
    newest = ListNewest();
    std::timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    stamped_ = Ns(now) - Ns(folder.st_mtim) > kSettleNs;
    stamp_ = folder.st_mtim;
  }
  bool changed =
      newest.has_value() != newest_.has_value() ||
      (newest && (newest->name != newest_->name || !Same(newest->modified, newest_->modified) ||
                  newest->size != newest_->size));
  newest_ = std::move(newest);
  return changed;
}

std::optional<CameraFolder::Picture> CameraFolder::ListNewest() {
  ++listings_;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path_.c_str()));
  if (!dir) return std::nullopt;
  std::optional<Picture> newest;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!IsPicture(entry->d_name)) continue;
    struct stat info;
    if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, 0) != 0 || !S_ISREG(info.st_mode))
      continue;
    if (!newest || Later(info.st_mtim, newest->modified))
      newest = Picture{entry->d_name, info.st_mtim, info.st_size};
  }
  return newest;
}
