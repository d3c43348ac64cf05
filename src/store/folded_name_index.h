// Finds the entry of a directory that equals a name ignoring ASCII letter
// case without reading the directory each time: per directory an index from
// the lowered name to the name on disk, read on first use, kept true by the
// program's own creations and removals (NoteCreated/NoteRemoved) and read
// again when the directory's change times move. One per process; thread safe.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

class FoldedNameIndex {
 public:
  static FoldedNameIndex& Process();

  // The entry of hostDirectory that equals name ignoring ASCII case; of
  // several, the one that sorts first. nullopt when there is none or the
  // directory cannot be read.
  std::optional<std::string> Find(const std::string& hostDirectory, std::string_view name);

  // The program made (or renamed something to) name in hostDirectory, or
  // removed (or renamed away) name from it.
  void NoteCreated(const std::string& hostDirectory, std::string_view name);
  void NoteRemoved(const std::string& hostDirectory, std::string_view name);

  // How many times a directory was read whole, for tests and benchmarks.
  static std::uint64_t DirectoryReads() { return reads_.load(); }

  // Memory bound: past this many names the indexes of other directories go.
  static constexpr std::size_t kMaxNames = 1 << 18;

 private:
  struct Stamp {
    struct timespec modified {};
    struct timespec changed {};
    // Taken within the clock tick of the last change: a change in the same
    // tick could leave the times as they are, so they prove nothing.
    bool recent = false;
    bool operator==(const Stamp& other) const;
  };
  struct Names {
    Stamp stamp;
    std::unordered_map<std::string, std::string> byLowered;  // lowered -> first on disk
  };
  using Key = std::pair<dev_t, ino_t>;

  static std::optional<std::pair<Key, Stamp>> StatDirectory(const std::string& hostDirectory);
  static std::optional<Names> ReadDirectory(const std::string& hostDirectory, const Stamp& stamp);
  void Keep(const Key& key, Names names);  // caller holds mutex_

  std::mutex mutex_;
  std::map<Key, Names> directories_;  // guarded by mutex_
  std::size_t names_ = 0;             // guarded by mutex_: names in directories_
  static std::atomic<std::uint64_t> reads_;
};
