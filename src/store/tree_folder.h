// A directory of the data tree given as a host path (the log directory, or
// one below it), read only through the tree's confined open: its names, as
// the bytes on disk, and its files. Links that lead out of the top directory
// are neither listed nor opened. A value type; thread safe to copy and use.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "store/path_resolver.h"

class TreeFolder {
 public:
  // topDirectory: a top directory's host path ("/srv/du/log"); below: the way
  // from it to this folder ("" or "SU1/cam0"), as on disk.
  explicit TreeFolder(const std::string& topDirectory, std::string below = "");

  TreeFolder Child(const std::string& name) const;
  // The names of the entries that are directories (or, with directories
  // false, the others), sorted by their bytes, hidden names left out.
  std::vector<std::string> Names(bool directories) const;
  // name ("" for the folder itself) opened with flags: a descriptor or -1.
  int Open(std::string_view name, int flags) const;
  std::string HostPath() const { return tree_.StartDirectory() + "/" + path_; }

 private:
  TreeFolder(PathResolver tree, std::string top, std::string path);

  PathResolver tree_;
  std::string top_;
  std::string path_;  // in the tree, beginning with top_
};
