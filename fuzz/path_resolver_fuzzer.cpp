// The path resolver fed arbitrary tree paths against a tree that holds
// mixed-case names and a symbolic link that leads out of it. A relative path
// without ".." resolves below the start directory; a confined lookup gives
// either nothing or a path whose real location lies inside the top directory
// it named.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "store/path_resolver.h"

namespace fs = std::filesystem;

namespace {

struct Fixture {
  Fixture() {
    scratch.Reset({"log/SU1/T1.dat", "log/SU1/Camera_Cam0/p.jpg", "Config/SU1.ini", "alarms/",
                   "private/key"});
    fs::create_directory_symlink(scratch.Scratch(), scratch.At("log/out"));
    fs::create_directory_symlink(scratch.At("private"), scratch.At("alarms/private"));
    fs::create_symlink("../log/SU1/T1.dat", scratch.At("alarms/inside.dat"));
    realStart = fs::canonical(scratch.Tree()).string();
  }
  fuzz::ScratchTree scratch;
  PathResolver resolver{scratch.Tree()};
  std::string realStart;
};

bool IsAtOrBelow(const std::string& path, const std::string& directory) {
  return path.compare(0, directory.size(), directory) == 0 &&
         (path.size() == directory.size() || path[directory.size()] == '/');
}

bool HasParentStep(std::string_view path) {
  for (std::string_view part : PathResolver::Components(path)) {
    if (part == "..") return true;
  }
  return false;
}

// Where a path really leads: its longest ancestor that the file system can
// resolve (a component past NAME_MAX cannot exist, so it reaches nothing).
std::string RealLocation(fs::path path) {
  std::error_code failed;
  for (;;) {
    fs::path real = fs::weakly_canonical(path, failed);
    if (!failed) return real.string();
    fuzz::Require(path.has_parent_path() && path.parent_path() != path, "no ancestor resolves",
                  path.string());
    path = path.parent_path();
  }
}

void CheckResolve(const Fixture& f, std::string_view path) {
  std::string host = f.resolver.Resolve(path);
  if (path.empty() || path.front() == '/' || HasParentStep(path)) return;
  fuzz::Require(IsAtOrBelow(host, f.resolver.StartDirectory()),
                "a relative path resolved outside the tree", host);
  fuzz::Require(!HasParentStep(host), "a resolved path steps up", host);
}

void CheckConfined(const Fixture& f, std::string_view path) {
  std::optional<std::string> host = f.resolver.ResolveConfined(path, {"log", "config", "alarms"});
  if (!host) return;
  fuzz::Require(path.find('\0') == std::string_view::npos, "a name with a zero byte was accepted");
  fuzz::Require(
      IsAtOrBelow(*host, f.resolver.StartDirectory()) && *host != f.resolver.StartDirectory(),
      "confined path outside the tree", *host);
  std::string real = RealLocation(*host);
  bool inside = false;
  for (const char* top : {"/log", "/Config", "/alarms"})
    inside = inside || IsAtOrBelow(real, f.realStart + top);
  fuzz::Require(inside, "a confined path leads outside its top directory", real);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  std::string_view path(reinterpret_cast<const char*>(data), size);
  CheckResolve(fixture, path);
  CheckConfined(fixture, path);
  std::string absolute = fixture.resolver.StartDirectory() + "\\" + std::string(path);
  CheckConfined(fixture, absolute);
  return 0;
}
