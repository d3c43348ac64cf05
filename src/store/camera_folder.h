// The newest picture of one camera folder, kept up to date cheaply: the
// folder is listed again only when its change time moved (a picture added,
// removed or renamed), and then in one pass without sorting; the picture
// shown is looked at on its own, so one that is still being written or was
// rewritten under its name shows again. Pictures are the ".jpg" files
// (any letter case); the newest is the one with the latest last-write time.
// A value type; not thread safe; raises nothing (an unreadable folder has
// no picture).
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class CameraFolder {
 public:
  struct Picture {
    std::string name;
    std::timespec modified{};
    off_t size = 0;
  };

  // Opens name in the folder ("" for the folder itself) with flags: a
  // descriptor or -1. Readers of the tree open through its confined open.
  using Opener = std::function<int(std::string_view name, int flags)>;

  CameraFolder(std::string hostPath, Opener open);
  // Opened confined to the folder itself.
  explicit CameraFolder(std::string hostPath);

  // Looks again; true when the newest picture or its content changed.
  bool Refresh();
  const std::optional<Picture>& Newest() const { return newest_; }
  const std::string& HostPath() const { return path_; }
  // How often the folder was listed, for tests and benchmarks.
  long long Listings() const { return listings_; }

 private:
  std::optional<Picture> ListNewest(int folder);
  std::optional<Picture> Look(int folder, const std::string& name) const;

  std::string path_;
  Opener open_;
  bool stamped_ = false;  // stamp_ holds the folder's change time at its last listing
  std::timespec stamp_{};
  std::optional<Picture> newest_;
  long long listings_ = 0;
};
