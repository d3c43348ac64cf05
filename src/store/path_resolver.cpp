#include "store/path_resolver.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/confined_open.h"
#include "store/folded_name_index.h"

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
          component == ".." ? std::nullopt : FoldedNameIndex::Process().Find(base, component);
      if (other) exact = Join(base, *other);
      matching = other.has_value();
    }
    base = std::move(exact);
  }
  return base;
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

struct PathResolver::Directories {
  std::mutex mutex;
  FileDescriptor root;                                                // guarded by mutex
  std::map<std::string, std::shared_ptr<const FileDescriptor>> tops;  // guarded by mutex
};

PathResolver::PathResolver(std::string startDirectory)
    : start_(std::move(startDirectory)), directories_(std::make_shared<Directories>()) {
  while (start_.size() > 1 && start_.back() == '/') start_.pop_back();
  directories_->root.Reset(::open(start_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

std::shared_ptr<const FileDescriptor> PathResolver::TopDirectory(const std::string& name,
                                                                 int& error) const {
  std::lock_guard<std::mutex> lock(directories_->mutex);
  FileDescriptor& root = directories_->root;
  if (!root.Valid()) root.Reset(::open(start_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat now;
  if (!root.Valid() || ::fstatat(root.Get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return nullptr;
  }
  if (!S_ISDIR(now.st_mode)) {
    error = S_ISLNK(now.st_mode) ? kRefused : ENOTDIR;
    return nullptr;
  }
  std::shared_ptr<const FileDescriptor>& held = directories_->tops[name];
  struct stat before;
  if (held && ::fstat(held->Get(), &before) == 0 && before.st_dev == now.st_dev &&
      before.st_ino == now.st_ino)
    return held;
  auto opened = std::make_shared<FileDescriptor>(
      ::openat(root.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!opened->Valid()) {
    error = errno == ENOTDIR || errno == ELOOP ? kRefused : errno;  // swapped for a link
    return nullptr;
  }
  held = opened;
  return held;
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

namespace {
std::pair<std::string, std::string_view> DirectoryAndName(const std::string& hostPath) {
  std::size_t slash = hostPath.rfind('/');
  if (slash == std::string::npos) return {".", hostPath};
  return {slash == 0 ? std::string("/") : hostPath.substr(0, slash),
          std::string_view(hostPath).substr(slash + 1)};
}
}  // namespace

void PathResolver::NoteCreated(const std::string& hostPath) {
  auto [directory, name] = DirectoryAndName(hostPath);
  FoldedNameIndex::Process().NoteCreated(directory, name);
}

void PathResolver::NoteRemoved(const std::string& hostPath) {
  auto [directory, name] = DirectoryAndName(hostPath);
  FoldedNameIndex::Process().NoteRemoved(directory, name);
}

std::vector<std::string_view> PathResolver::Components(std::string_view treePath) {
  return SplitComponents(treePath);
}

std::optional<std::pair<std::string, std::size_t>> PathResolver::ConfinedName(
    std::string_view requested, std::initializer_list<std::string_view> topDirectories,
    std::size_t minimumParts) const {
  if (requested.find('\0') != std::string_view::npos) return std::nullopt;
  std::optional<std::string_view> relative = RelativeToStart(requested, start_);
  if (!relative) return std::nullopt;
  std::vector<std::string_view> parts = SplitComponents(*relative);
  if (parts.empty() || parts.size() < minimumParts) return std::nullopt;
  for (std::string_view part : parts) {
    if (part == "..") return std::nullopt;
  }
  bool allowed = false;
  for (std::string_view top : topDirectories)
    allowed = allowed || EqualsIgnoringAsciiCase(parts[0], top);
  if (!allowed) return std::nullopt;
  std::string topOnDisk = Walk(start_, {parts[0]});
  return std::make_pair(Walk(start_, parts), topOnDisk.size());
}

PathResolver::Opened PathResolver::OpenConfined(
    std::string_view requested, std::initializer_list<std::string_view> topDirectories, int flags,
    mode_t mode) const {
  Opened opened;
  auto name = ConfinedName(requested, topDirectories, 1);
  if (!name) {
    opened.error = kRefused;
    return opened;
  }
  opened.hostPath = name->first;
  std::string topName = name->first.substr(start_.size() + 1, name->second - start_.size() - 1);
  std::shared_ptr<const FileDescriptor> top = TopDirectory(topName, opened.error);
  if (!top) return opened;
  std::string_view rest = std::string_view(name->first).substr(name->second);
  while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  opened.fd.Reset(confined_open::Open(top->Get(), rest, flags, mode));
  if (!opened.fd.Valid()) opened.error = errno;
  return opened;
}

std::optional<std::string> PathResolver::ResolveConfined(
    std::string_view requested, std::initializer_list<std::string_view> topDirectories) const {
  auto name = ConfinedName(requested, topDirectories, 2);
  if (!name) return std::nullopt;
  Opened opened = OpenConfined(requested, topDirectories, O_PATH);
  if (opened.error == ENOENT) {
    // Not there (yet): its directory decides, as it does for a new file.
    std::string directory = name->first.substr(0, name->first.rfind('/'));
    opened = OpenConfined(directory.substr(start_.size() + 1), topDirectories, O_PATH);
  }
  if (opened.error == kRefused || opened.error == ELOOP) return std::nullopt;
  return name->first;
}

std::optional<std::vector<PathResolver::Entry>> PathResolver::ListConfined(
    std::string_view requested, std::initializer_list<std::string_view> topDirectories) const {
  Opened opened = OpenConfined(requested, topDirectories, O_RDONLY | O_DIRECTORY);
  if (!opened.fd.Valid()) return std::nullopt;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(opened.fd.Get()), ::closedir);
  if (!dir) return std::nullopt;
  int fd = opened.fd.Release();
  std::vector<Entry> entries;
  while (const dirent* found = ::readdir(dir.get())) {
    std::string_view name(found->d_name);
    if (name == "." || name == "..") continue;
    struct stat info;
    if (::fstatat(fd, found->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISLNK(info.st_mode)) {
      // Described by what it leads to, when that lies inside.
      Opened target =
          OpenConfined(std::string(requested) + "/" + found->d_name, topDirectories, O_PATH);
      if (!target.fd.Valid() || ::fstat(target.fd.Get(), &info) != 0) continue;
    }
    entries.push_back({std::string(name), S_ISDIR(info.st_mode), info.st_size, info.st_mtim});
  }
  return entries;
}
