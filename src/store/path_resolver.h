// Turns paths of the data tree (".\log\SU1\", "log/SU1/x.dat", or the absolute
// list-entry form "/srv/du\log\SU1\x.dat") into host paths below the start
// directory. The process working directory is never changed; everything that
// touches the tree resolves through here, and every reader of the tree opens
// through OpenConfined. Const operations are thread safe.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_descriptor.h"

class PathResolver {
 public:
  // startDirectory: absolute, as getcwd() reports it, without a trailing "/".
  explicit PathResolver(std::string startDirectory);

  // The working directory when the program started (read once, then kept).
  static const std::string& ProcessStartDirectory();

  const std::string& StartDirectory() const { return start_; }

  // Host path for a relative tree path: "\" and "/" both separate, "."
  // components are dropped, each component is matched exactly, else
  // ASCII-case-insensitively against the entries of its directory (the one
  // sorting first of several; see FoldedNameIndex); components
  // that do not exist (yet) keep the spelling given.
  // An absolute treePath ("/srv/du\log") resolves from "/" the same way.
  std::string Resolve(std::string_view treePath) const;

  // The program made, renamed or removed the entry at hostPath (as Resolve
  // spells it): keeps the letter-case index of its directory true without
  // reading it again. Changes made in other ways are seen by the directory's
  // change times.
  static void NoteCreated(const std::string& hostPath);
  static void NoteRemoved(const std::string& hostPath);

  // As Resolve, but relative to hostDirectory, a host path already resolved.
  std::string ResolveFrom(const std::string& hostDirectory, std::string_view treePath) const;

  // The components of a tree path, split at "\" and "/", without "." and
  // empty ones. The views point into treePath.
  static std::vector<std::string_view> Components(std::string_view treePath);

  // For names that peers request by file transfer: the host path when the
  // name (relative, "/"-separated, or absolute below the start directory in
  // either separator form) lies inside one of topDirectories (e.g. "log")
  // below the start directory; nullopt for anything else: other absolute
  // paths, ".." components, NUL bytes, symbolic links that lead out.
  // Refusal is decided by a confined open (see OpenConfined) of the name, or
  // of its directory when the name does not exist yet.
  std::optional<std::string> ResolveConfined(
      std::string_view requested, std::initializer_list<std::string_view> topDirectories) const;

  struct Opened {
    FileDescriptor fd;     // valid when opened
    std::string hostPath;  // as Resolve spells it, when the name was not refused
    int error = 0;         // errno when not opened; kRefused when the name leads out
  };
  static constexpr int kRefused = EXDEV;
  // The one way every reader opens below the tree: a name as ResolveConfined
  // takes it (a top directory itself too), opened below that top directory's
  // descriptor with confined_open, so that what is opened is what was asked
  // for even while directories are swapped for links. Links that stay inside
  // the top directory are followed; a top directory that is a link, and
  // links that lead out, are refused.
  Opened OpenConfined(std::string_view requested,
                      std::initializer_list<std::string_view> topDirectories, int flags,
                      mode_t mode = 0) const;

  // The names of a confined directory (as OpenConfined takes it), in the
  // order the file system yields them, without "." and ".." and without
  // links that lead out; nullopt when it cannot be opened or is refused.
  struct Entry {
    std::string name;  // the bytes on disk
    bool directory = false;
    off_t size = 0;
    struct timespec modified {};
  };
  std::optional<std::vector<Entry>> ListConfined(
      std::string_view requested, std::initializer_list<std::string_view> topDirectories) const;

 private:
  // The host path and the length of its top directory's part, or nullopt
  // when the name is refused by itself (see ResolveConfined).
  std::optional<std::pair<std::string, std::size_t>> ConfinedName(
      std::string_view requested, std::initializer_list<std::string_view> topDirectories,
      std::size_t minimumParts) const;
  // The top directory's descriptor, kept open while it is the same
  // directory; null with error set when it is missing or a link (kRefused).
  std::shared_ptr<const FileDescriptor> TopDirectory(const std::string& name, int& error) const;

  // Shared by copies: the start directory and the top directories, opened once.
  struct Directories;
  std::string start_;
  std::shared_ptr<Directories> directories_;
};
