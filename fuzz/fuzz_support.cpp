#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace fuzz {

void Fail(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "\n*** property violated: %.*s\n", static_cast<int>(what.size()),
               what.data());
  if (!detail.empty()) {
    std::fprintf(stderr, "*** detail: %.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::abort();
}

ScratchTree::ScratchTree() {
  char pattern[] = "/tmp/dc-fuzz-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) Fail("mkdtemp failed");
  scratch_ = pattern;
  tree_ = scratch_ + "/tree";
  fs::create_directory(tree_);
}

ScratchTree::~ScratchTree() {
  std::error_code ignored;
  fs::remove_all(scratch_, ignored);
}

void ScratchTree::Reset(std::initializer_list<std::string_view> entries) {
  for (const fs::directory_entry& entry : fs::directory_iterator(tree_))
    fs::remove_all(entry.path());
  for (std::string_view entry : entries) {
    fs::path path = At(entry);
    if (entry.back() == '/') {
      fs::create_directories(path);
      continue;
    }
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << "seed\r\n";
  }
}

void ScratchTree::RequireNothingBesideTree() const {
  for (const fs::directory_entry& entry : fs::directory_iterator(scratch_)) {
    if (entry.path() != fs::path(tree_))
      Fail("something was created outside the data tree", entry.path().string());
  }
}

void ScratchTree::RequireConfinedTree() const {
  RequireNothingBesideTree();
  for (const fs::directory_entry& top : fs::directory_iterator(tree_)) {
    std::string name = top.path().filename().string();
    if (name != "log" && name != "config" && name != "alarms")
      Fail("unexpected entry at the top of the tree", name);
  }
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(tree_)) {
    std::string name = entry.path().filename().string();
    if (name.find('\\') != std::string::npos) Fail("a tree path was stored as one name", name);
    if (entry.is_symlink()) Fail("a symbolic link appeared in the tree", name);
  }
}

}  // namespace fuzz
