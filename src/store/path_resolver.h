// Turns paths of the data tree (".\log\SU1\", "log/SU1/x.dat", or the absolute
// list-entry form "/srv/du\log\SU1\x.dat") into host paths below the start
// directory. The process working directory is never changed; everything that
// touches the tree resolves through here. Const operations are thread safe.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class PathResolver {
 public:
  // startDirectory: absolute, as getcwd() reports it, without a trailing "/".
  explicit PathResolver(std::string startDirectory);

  // The working directory when the program started (read once, then kept).
  static const std::string& ProcessStartDirectory();

  const std::string& StartDirectory() const { return start_; }

  // Host path for a relative tree path: "\" and "/" both separate, "."
  // components are dropped, each component is matched exactly, else
  // ASCII-case-insensitively against the entries of its directory; components
  // that do not exist (yet) keep the spelling given.
  // An absolute treePath ("/srv/du\log") resolves from "/" the same way.
  std::string Resolve(std::string_view treePath) const;

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
  std::optional<std::string> ResolveConfined(
      std::string_view requested, std::initializer_list<std::string_view> topDirectories) const;

 private:
  std::string start_;
};
