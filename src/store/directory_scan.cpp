#include "store/directory_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <memory>

namespace directory_scan {
namespace {

using DirHandle = std::unique_ptr<DIR, int (*)(DIR*)>;

DirHandle Open(const std::string& hostDirectory) {
  return DirHandle(::opendir(hostDirectory.c_str()), ::closedir);
}

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

enum class Kind { File, Directory, LinkToDirectory };

Kind KindOf(DIR* dir, const dirent* entry) {
  if (entry->d_type == DT_DIR) return Kind::Directory;
  if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) return Kind::File;
  struct stat info;
  if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return Kind::File;
  bool link = S_ISLNK(info.st_mode);
  if (link && ::fstatat(::dirfd(dir), entry->d_name, &info, 0) != 0) return Kind::File;
  if (!S_ISDIR(info.st_mode)) return Kind::File;
  return link ? Kind::LinkToDirectory : Kind::Directory;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool Wildcard(std::string_view name, std::string_view mask) {
  if (mask.empty()) return name.empty();
  if (mask.front() == '*') {
    for (std::size_t skip = 0; skip <= name.size(); ++skip) {
      if (Wildcard(name.substr(skip), mask.substr(1))) return true;
    }
    return false;
  }
  if (name.empty()) return false;
  if (mask.front() != '?' && Lower(mask.front()) != Lower(name.front())) return false;
  return Wildcard(name.substr(1), mask.substr(1));
}

bool Walk(const std::string& hostDirectory, const std::string& subPath, std::string_view mask,
          bool recursive, const FileVisitor& visit) {
  DirHandle dir = Open(hostDirectory);
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (IsDotOrDotDot(entry->d_name) || IsSweepTemporary(entry->d_name)) continue;
    if (!MatchesMask(entry->d_name, mask)) continue;
    std::string name(entry->d_name);
    Kind kind = KindOf(dir.get(), entry);
    if (kind == Kind::File) {
      visit(subPath, name);
    } else if (kind == Kind::Directory && recursive) {
      Walk(hostDirectory + "/" + name, subPath.empty() ? name : subPath + "/" + name, mask,
           recursive, visit);
    }
  }
  return true;
}

bool IsTemporaryTail(std::string_view tail) {
  if (tail.size() != sizeof kTemporaryPattern - 1 || tail.substr(0, 7) != ".sweep-") return false;
  for (char c : tail.substr(7)) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

void ListLevel(const std::string& hostDirectory, SweepListing& listing) {
  DirHandle dir = Open(hostDirectory);
  if (!dir) return listing.unreadableDirectories.push_back(hostDirectory);
  while (const dirent* entry = ::readdir(dir.get())) {
    if (IsDotOrDotDot(entry->d_name)) continue;
    struct stat info;
    if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    std::string name(entry->d_name);
    if (S_ISDIR(info.st_mode)) {
      ListLevel(hostDirectory + "/" + name, listing);
    } else if (S_ISREG(info.st_mode) && IsSweepTemporary(name)) {
      listing.leftovers.push_back(hostDirectory + "/" + name);
    } else if (S_ISREG(info.st_mode)) {
      listing.files.emplace_back(hostDirectory, std::move(name));
    }
  }
}

}  // namespace

bool IsSweepTemporary(std::string_view name) {
  const std::size_t length = sizeof kTemporaryPattern - 1;
  return !name.empty() && name.front() == '.' && name.size() >= length &&
         IsTemporaryTail(name.substr(name.size() - length));
}

SweepListing ListForSweep(const std::string& hostDirectory) {
  SweepListing listing;
  ListLevel(hostDirectory, listing);
  return listing;
}

bool MatchesMask(std::string_view name, std::string_view mask) {
  if (mask == "*.*" || mask == "*") return true;
  return Wildcard(name, mask);
}

bool WalkFiles(const std::string& hostDirectory, std::string_view mask, bool recursive,
               const FileVisitor& visit) {
  return Walk(hostDirectory, "", mask, recursive, visit);
}

std::string NewestFile(const std::string& hostDirectory) {
  DirHandle dir = Open(hostDirectory);
  std::string newest;
  std::time_t bestTime = 0;
  while (const dirent* entry = dir ? ::readdir(dir.get()) : nullptr) {
    struct stat info;
    if (entry->d_name[0] == '.' || ::fstatat(::dirfd(dir.get()), entry->d_name, &info, 0) != 0)
      continue;
    if (S_ISDIR(info.st_mode)) continue;
    std::time_t time = info.st_mtime - ((info.st_mtime % 2) + 2) % 2;
    if (newest.empty() || time > bestTime) {
      newest = entry->d_name;
      bestTime = time;
    }
  }
  return newest;
}

}  // namespace directory_scan
