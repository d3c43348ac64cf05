#include "store/path_resolver.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The components of a tree path; "." and empty components are dropped.
std::vector<std::string_view> SplitComponents(std::string_view path) {
  std::vector<std::string_view> components;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !IsSeparator(path[i])) continue;
    std::string_view component = path.substr(begin, i - begin);
    if (!component.empty() && component != ".") components.push_back(component);
    begin = i + 1;
  }
  return components;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool Exists(const std::string& hostPath) {
  struct stat info;
  return ::lstat(hostPath.c_str(), &info) == 0;
}

// The entry of directory that equals name ignoring ASCII case; of several,
// the one that sorts first, so that the choice does not depend on the
// enumeration order.
std::optional<std::string> FindIgnoringCase(const std::string& directory, std::string_view name) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
  if (!dir) return std::nullopt;
  std::optional<std::string> found;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string_view candidate(entry->d_name);
    if (!EqualsIgnoringAsciiCase(candidate, name)) continue;
    if (!found || candidate < *found) found = std::string(candidate);
  }
  return found;
}

std::string Join(const std::string& directory, std::string_view name) {
  std::string path = directory;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

// Appends components to base one by one, each matched exactly or else
// ignoring ASCII case; after the first missing one the rest keep their spelling.
std::string Walk(std::string base, const std::vector<std::string_view>& components) {
  bool matching = true;
  for (std::string_view component : components) {
    std::string exact = Join(base, component);
    if (matching && !Exists(exact)) {
      std::optional<std::string> other =
          component == ".." ? std::nullopt : FindIgnoringCase(base, component);
      if (other) exact = Join(base, *other);
      matching = other.has_value();
    }
    base = std::move(exact);
  }
  return base;
}

std::optional<std::string> RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return std::nullopt;
  return std::string(buffer);
}

// The real path of hostPath, or of its longest existing ancestor with the
// missing rest appended; nullopt when an existing part cannot be resolved
// (a dangling symbolic link, for example).
std::optional<std::string> RealPathOfExistingPart(const std::string& hostPath) {
  std::string existing = hostPath;
  std::string missing;
  while (!Exists(existing)) {
    std::size_t slash = existing.rfind('/');
    if (slash == std::string::npos || slash == 0) return std::nullopt;
    missing = existing.substr(slash) + missing;
    existing.resize(slash);
  }
  std::optional<std::string> real = RealPath(existing);
  if (!real) return std::nullopt;
  return *real + missing;
}

bool IsAtOrBelow(const std::string& path, const std::string& directory) {
  if (path.compare(0, directory.size(), directory) != 0) return false;
  return path.size() == directory.size() || path[directory.size()] == '/';
}

// requested without a leading start directory (in either separator form);
// nullopt when it is absolute in any other way.
std::optional<std::string_view> RelativeToStart(std::string_view requested,
                                                const std::string& start) {
  if (requested.empty() || !IsSeparator(requested.front())) return requested;
  std::vector<std::string_view> startParts = SplitComponents(start);
  std::vector<std::string_view> parts = SplitComponents(requested);
  if (parts.size() < startParts.size()) return std::nullopt;
  std::size_t offset = 0;
  for (std::string_view part : startParts) {
    if (parts[offset] != part) return std::nullopt;
    ++offset;
  }
  if (offset == 0) return std::nullopt;
  // The rest of the text after the start directory's last component.
  std::string_view last = parts[offset - 1];
  return requested.substr(static_cast<std::size_t>(last.data() - requested.data()) + last.size());
}

}  // namespace

PathResolver::PathResolver(std::string startDirectory) : start_(std::move(startDirectory)) {
  while (start_.size() > 1 && start_.back() == '/') start_.pop_back();
}

const std::string& PathResolver::ProcessStartDirectory() {
  static const std::string start = [] {
    char buffer[PATH_MAX];
    return std::string(::getcwd(buffer, sizeof buffer) != nullptr ? buffer : ".");
  }();
  return start;
}

// Read at load time, before anything could have moved the working directory.
static const bool startDirectoryCaptured = (PathResolver::ProcessStartDirectory(), true);

std::string PathResolver::Resolve(std::string_view treePath) const {
  bool absolute = !treePath.empty() && treePath.front() == '/';
  return Walk(absolute ? std::string("/") : start_, SplitComponents(treePath));
}

std::string PathResolver::ResolveFrom(const std::string& hostDirectory,
                                      std::string_view treePath) const {
  return Walk(hostDirectory, SplitComponents(treePath));
}

std::vector<std::string_view> PathResolver::Components(std::string_view treePath) {
  return SplitComponents(treePath);
}

std::optional<std::string> PathResolver::ResolveConfined(
    std::string_view requested, std::initializer_list<std::string_view> topDirectories) const {
  if (requested.find('\0') != std::string_view::npos) return std::nullopt;
  std::optional<std::string_view> relative = RelativeToStart(requested, start_);
  if (!relative) return std::nullopt;
  std::vector<std::string_view> parts = SplitComponents(*relative);
  if (parts.size() < 2) return std::nullopt;
  for (std::string_view part : parts) {
    if (part == "..") return std::nullopt;
  }
  bool allowed = false;
  for (std::string_view top : topDirectories)
    allowed = allowed || EqualsIgnoringAsciiCase(parts[0], top);
  if (!allowed) return std::nullopt;
  std::string hostPath = Walk(start_, parts);
  std::optional<std::string> realStart = RealPath(start_);
  std::optional<std::string> realTarget = RealPathOfExistingPart(hostPath);
  std::string topOnDisk = Walk(start_, {parts[0]}).substr(start_.size() + 1);
  if (!realStart || !realTarget || !IsAtOrBelow(*realTarget, Join(*realStart, topOnDisk))) {
    return std::nullopt;
  }
  return hostPath;
}
