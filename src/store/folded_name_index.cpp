#include "store/folded_name_index.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <memory>

std::atomic<std::uint64_t> FoldedNameIndex::reads_{0};

namespace {

std::string Lowered(std::string_view name) {
  std::string lowered(name);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return lowered;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool NotBefore(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec >= b.tv_nsec;
}

// Of two names that differ only in case, the one that sorts first wins, so
// that the choice does not depend on the enumeration order.
void Offer(std::unordered_map<std::string, std::string>& byLowered, std::string_view name) {
  auto [at, inserted] = byLowered.try_emplace(Lowered(name), name);
  if (!inserted && name < at->second) at->second = std::string(name);
}

}  // namespace

bool FoldedNameIndex::Stamp::operator==(const Stamp& other) const {
  return SameTime(modified, other.modified) && SameTime(changed, other.changed);
}

FoldedNameIndex& FoldedNameIndex::Process() {
  static FoldedNameIndex index;
  return index;
}

std::optional<std::pair<FoldedNameIndex::Key, FoldedNameIndex::Stamp>>
FoldedNameIndex::StatDirectory(const std::string& hostDirectory) {
  // File times come from the coarse clock: a change after this instant
  // gets times at or past it.
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  struct stat info;
  if (::stat(hostDirectory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  bool recent = NotBefore(info.st_mtim, now) || NotBefore(info.st_ctim, now);
  return std::make_pair(Key{info.st_dev, info.st_ino}, Stamp{info.st_mtim, info.st_ctim, recent});
}

// stamp is taken before the read: a change during the read moves the
// directory's times past it, so the next lookup reads again.
std::optional<FoldedNameIndex::Names> FoldedNameIndex::ReadDirectory(
    const std::string& hostDirectory, const Stamp& stamp) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(hostDirectory.c_str()), ::closedir);
  if (!dir) return std::nullopt;
  ++reads_;
  Names names{stamp, {}};
  while (const dirent* entry = ::readdir(dir.get())) Offer(names.byLowered, entry->d_name);
  return names;
}

void FoldedNameIndex::Keep(const Key& key, Names names) {
  auto held = directories_.find(key);
  if (held != directories_.end()) {
    names_ -= held->second.byLowered.size();
    directories_.erase(held);
  }
  if (names_ + names.byLowered.size() > kMaxNames) {
    directories_.clear();
    names_ = 0;
  }
  names_ += names.byLowered.size();
  directories_.emplace(key, std::move(names));
}

std::optional<std::string> FoldedNameIndex::Find(const std::string& hostDirectory,
                                                 std::string_view name) {
  auto directory = StatDirectory(hostDirectory);
  if (!directory) return std::nullopt;
  std::string lowered = Lowered(name);
  bool trusted = false;
  std::optional<std::string> known;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto held = directories_.find(directory->first);
    if (held != directories_.end() && !held->second.stamp.recent &&
        held->second.stamp == directory->second) {
      trusted = true;
      auto found = held->second.byLowered.find(lowered);
      if (found != held->second.byLowered.end()) known = found->second;
    }
  }
  // A name given is checked: one removed in the clock tick of a change the
  // program noted is read again rather than given.
  struct stat info;
  if (trusted && (!known || ::lstat((hostDirectory + "/" + *known).c_str(), &info) == 0))
    return known;
  std::optional<Names> names = ReadDirectory(hostDirectory, directory->second);
  if (!names) return std::nullopt;
  std::optional<std::string> result;
  if (auto found = names->byLowered.find(lowered); found != names->byLowered.end())
    result = found->second;
  std::lock_guard<std::mutex> lock(mutex_);
  Keep(directory->first, std::move(*names));
  return result;
}

// The lookup that preceded the program's own change validated the index an
// instant before; the change moved the times, which the index takes over.
// Taken over as sure even within the change's clock tick, or a run of
// creations would read the directory each time: a name another process adds
// in that same tick after the change is seen at the directory's next change.
void FoldedNameIndex::NoteCreated(const std::string& hostDirectory, std::string_view name) {
  auto directory = StatDirectory(hostDirectory);
  if (!directory) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto held = directories_.find(directory->first);
  if (held == directories_.end()) return;
  std::size_t before = held->second.byLowered.size();
  Offer(held->second.byLowered, name);
  names_ += held->second.byLowered.size() - before;
  held->second.stamp = directory->second;
  held->second.stamp.recent = false;
}

// Another name of the same case-folded spelling may remain: when the removed
// one was the name the index gave, the directory is read again on next use.
void FoldedNameIndex::NoteRemoved(const std::string& hostDirectory, std::string_view name) {
  auto directory = StatDirectory(hostDirectory);
  if (!directory) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto held = directories_.find(directory->first);
  if (held == directories_.end()) return;
  auto found = held->second.byLowered.find(Lowered(name));
  if (found != held->second.byLowered.end() && found->second == name) {
    names_ -= held->second.byLowered.size();
    directories_.erase(held);
    return;
  }
  held->second.stamp = directory->second;
  held->second.stamp.recent = false;
}
