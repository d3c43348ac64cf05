#include "store/tree_folder.h"

#include <algorithm>
#include <utility>

TreeFolder::TreeFolder(const std::string& topDirectory, std::string below)
    : TreeFolder(PathResolver(topDirectory.substr(0, topDirectory.rfind('/'))),
                 topDirectory.substr(topDirectory.rfind('/') + 1), std::string()) {
  path_ = below.empty() ? top_ : top_ + "/" + below;
}

TreeFolder::TreeFolder(PathResolver tree, std::string top, std::string path)
    : tree_(std::move(tree)), top_(std::move(top)), path_(std::move(path)) {}

TreeFolder TreeFolder::Child(const std::string& name) const {
  return TreeFolder(tree_, top_, path_ + "/" + name);
}

std::vector<std::string> TreeFolder::Names(bool directories) const {
  std::vector<std::string> names;
  auto entries = tree_.ListConfined(path_, {top_});
  if (!entries) return names;
  for (const PathResolver::Entry& entry : *entries) {
    if (entry.directory == directories && entry.name.front() != '.') names.push_back(entry.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int TreeFolder::Open(std::string_view name, int flags) const {
  std::string path = name.empty() ? path_ : path_ + "/" + std::string(name);
  return tree_.OpenConfined(path, {top_}, flags).fd.Release();
}
