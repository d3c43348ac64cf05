// Enumerating directories of the data tree on the host: the recursive file
// walk behind ListFiles and the sweep, and the newest-file search behind
// LatestFile. Entries come in the order the file system yields them.
// Stateless; thread safe.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace directory_scan {

// Called for every file: subPath is the way from the walked directory down to
// the file's directory ("" or "a/b", names as on disk), name the file's name.
using FileVisitor = std::function<void(const std::string& subPath, const std::string& name)>;

// Walks hostDirectory: every entry whose name matches mask that is not a
// directory is visited (hidden names included, the sweep's temporary
// files not); with recursive, matching
// sub-directories are walked where they are met, so their files come at that
// point. Symbolic links to directories are neither visited nor walked.
// Returns false when hostDirectory cannot be read.
bool WalkFiles(const std::string& hostDirectory, std::string_view mask, bool recursive,
               const FileVisitor& visit);

// The name of the newest entry of hostDirectory that is not a directory and
// not hidden (a name beginning with "."), by last-write time in two-second
// steps; on equal times the one met first. "" when there is none.
std::string NewestFile(const std::string& hostDirectory);

// What the retention sweep finds below a directory: regular files (never a
// symbolic link), the sweep's own temporary files left by an earlier run,
// and sub-directories that could not be read. Paths are host paths.
struct SweepListing {
  std::vector<std::pair<std::string, std::string>> files;  // directory, name
  std::vector<std::string> leftovers;
  std::vector<std::string> unreadableDirectories;
};
SweepListing ListForSweep(const std::string& hostDirectory);

// The temporary files of the tree, the retention sweep's and uploads':
// kTemporaryPattern with its six X replaced, and the longer form of earlier
// versions ("." + a log file's name + ".sweep-" + six characters). No
// listing shows them.
inline constexpr char kTemporaryPattern[] = ".sweep-XXXXXX";
bool IsSweepTemporary(std::string_view name);

// A file name against a mask of "*" and "?" wildcards, ignoring ASCII case;
// "*.*" matches every name, with or without a dot.
bool MatchesMask(std::string_view name, std::string_view mask);

}  // namespace directory_scan
