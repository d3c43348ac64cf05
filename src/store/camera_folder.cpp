#include "store/camera_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <utility>

#include "base/confined_open.h"
#include "base/file_descriptor.h"

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

CameraFolder::CameraFolder(std::string hostPath, Opener open)
    : path_(std::move(hostPath)), open_(std::move(open)) {}

CameraFolder::CameraFolder(std::string hostPath) : path_(std::move(hostPath)) {
  open_ = [path = path_](std::string_view name, int flags) {
    FileDescriptor folder(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return folder.Valid() ? confined_open::Open(folder.Get(), name, flags) : -1;
  };
}

// The picture name in folder, following a link only where it stays inside.
std::optional<CameraFolder::Picture> CameraFolder::Look(int folder, const std::string& name) const {
  struct stat info;
  if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  if (S_ISLNK(info.st_mode)) {
    FileDescriptor target(open_(name, O_PATH));
    if (!target.Valid() || ::fstat(target.Get(), &info) != 0) return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) return std::nullopt;
  return Picture{name, info.st_mtim, info.st_size};
}

bool CameraFolder::Refresh() {
  struct stat folder;
  FileDescriptor opened(open_("", O_RDONLY | O_DIRECTORY));
  if (!opened.Valid() || ::fstat(opened.Get(), &folder) != 0) {
    bool had = newest_.has_value();
    newest_.reset();
    stamped_ = false;
    return had;
  }
  std::optional<Picture> newest;
  if (stamped_ && Same(folder.st_mtim, stamp_)) {
    if (!newest_) return false;
    newest = Look(opened.Get(), newest_->name);
    if (!newest) newest = ListNewest(opened.Get());  // gone without the folder's time moving
  } else {
    newest = ListNewest(opened.Get());
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

std::optional<CameraFolder::Picture> CameraFolder::ListNewest(int folder) {
  ++listings_;
  FileDescriptor copy(::dup(folder));  // the listing's own offset
  std::unique_ptr<DIR, DirCloser> dir(copy.Valid() ? ::fdopendir(copy.Get()) : nullptr);
  if (!dir) return std::nullopt;
  copy.Release();
  ::rewinddir(dir.get());
  std::optional<Picture> newest;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!IsPicture(entry->d_name)) continue;
    std::optional<Picture> picture = Look(folder, entry->d_name);
    if (picture && (!newest || Later(picture->modified, newest->modified)))
      newest = std::move(picture);
  }
  return newest;
}
