// A temporary start directory for the store's tests: created empty, removed
// with everything below it when the object dies. Paths given to the helpers
// are relative to it and use "/".
#pragma once

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

class TempTree {
 public:
  TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dc_store_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = std::filesystem::canonical(pattern).string();
  }
  ~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& Root() const { return root_; }
  std::string Host(const std::string& relative) const { return root_ + "/" + relative; }

  void MakeDir(const std::string& relative) const {
    std::filesystem::create_directories(Host(relative));
  }

  void Write(const std::string& relative, const std::string& content) const {
    std::ofstream out(Host(relative), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + relative);
  }

  std::string Read(const std::string& relative) const {
    std::ifstream in(Host(relative), std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  bool Exists(const std::string& relative) const {
    struct stat info;
    return ::lstat(Host(relative).c_str(), &info) == 0;
  }

  bool IsDirectory(const std::string& relative) const {
    return std::filesystem::is_directory(Host(relative));
  }

  // Sets the last-write time of a file to the given seconds since the epoch.
  void SetTime(const std::string& relative, std::time_t seconds) const {
    struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
    if (::utimes(Host(relative).c_str(), times) != 0) throw std::runtime_error("utimes failed");
  }

 private:
  std::string root_;
};
