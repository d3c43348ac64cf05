// Shared pieces of the fuzz targets: a scratch directory holding a data tree
// (and nothing else, so that anything written beside the tree shows), and a
// check that stops the run with a message when a property does not hold.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace fuzz {

// Prints what failed and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(std::string_view what, std::string_view detail = {});
inline void Require(bool holds, std::string_view what, std::string_view detail = {}) {
  if (!holds) Fail(what, detail);
}

// A fresh directory /tmp/dc-fuzz-XXXXXX with one entry, "tree"; removed at exit.
class ScratchTree {
 public:
  ScratchTree();
  ~ScratchTree();
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;

  const std::string& Scratch() const { return scratch_; }
  const std::string& Tree() const { return tree_; }
  std::string At(std::string_view relative) const { return tree_ + "/" + std::string(relative); }

  // Empties the tree and creates the given directories and files (a path
  // ending in "/" is a directory), parents as needed.
  void Reset(std::initializer_list<std::string_view> entries);
  // Fails unless the scratch directory holds the tree and nothing else.
  void RequireNothingBesideTree() const;
  // As RequireNothingBesideTree; besides, the tree may hold only log/,
  // config/ and alarms/ at its top, and no name in it may contain a "\"
  // (a tree path that was stored without being split) or be a symbolic link.
  void RequireConfinedTree() const;

 private:
  std::string scratch_;
  std::string tree_;
};

}  // namespace fuzz
