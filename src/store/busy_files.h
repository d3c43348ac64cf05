// The registry of files that a file transfer is working on, and the one lock
// under which every change that could meet a transfer is decided: a transfer
// takes its mark in one step with the check against the marks already held;
// records and alarm lines for a file under upload wait here, in order, and
// are appended by whichever thread releases the upload's mark; the retention
// sweep replaces or deletes a file only under the lock, when no transfer
// began on it meanwhile. Keys are host paths as PathResolver gives them.
// Thread safe: sessions mark from their own threads, the store runs on the
// main thread.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

class BusyFiles {
 public:
  // A read mark shares the file with other readers; a write mark with nobody.
  enum class Mode { kRead, kWrite };

  // Bytes held for one file under upload, at most; past it a line is refused.
  static constexpr std::size_t kMaxHeldBytes = 1 << 20;

  // The one registry of the process.
  static BusyFiles& Instance();

  // Keeps a file marked while it lives; false when the mark was refused.
  // Movable, not copyable. Releasing a write mark appends the lines that
  // waited for it, on the releasing thread.
  class Mark {
   public:
    Mark() = default;
    Mark(Mark&& other) noexcept;
    Mark& operator=(Mark&& other) noexcept;
    Mark(const Mark&) = delete;
    Mark& operator=(const Mark&) = delete;
    ~Mark();
    explicit operator bool() const { return registry_ != nullptr; }

   private:
    friend class BusyFiles;
    Mark(BusyFiles* registry, std::string path, Mode mode);
    void Release();
    BusyFiles* registry_ = nullptr;
    std::string path_;
    Mode mode_ = Mode::kRead;
  };

  // Marks hostPath in mode, or refuses (an empty Mark): a write while any
  // mark holds the file, a read while a write mark does.
  [[nodiscard]] Mark TryMark(const std::string& hostPath, Mode mode);
  bool IsBusy(const std::string& hostPath) const;
  // Runs call under the lock that appends hold: what it sees of a file is
  // never half of an append.
  void UnderLock(const std::function<void()>& call);

  // Appends bytes to hostPath through appendNow, under the lock, unless a
  // write mark holds the file: then they wait and are appended to the file
  // when the mark goes. appendNow's exceptions pass to the caller. Raises
  // EDataStoreError, holding nothing, when the held bytes would pass
  // kMaxHeldBytes.
  void AppendOrHold(const std::string& hostPath, std::string_view bytes,
                    const std::function<void(std::string_view)>& appendNow);

  // Runs replace (a rename over hostPath, or its deletion) under the lock
  // when no transfer holds hostPath and none was granted a write mark on it
  // since the matching WatchForSweep; returns whether it ran. Ends the watch.
  bool ReplaceIfUntouched(const std::string& hostPath, const std::function<void()>& replace);
  // Starts watching hostPath for write marks; false (and no watch) when a
  // mark holds it now.
  bool WatchForSweep(const std::string& hostPath);
  void EndWatch(const std::string& hostPath);

 private:
  struct Entry {
    int readers = 0;
    bool writer = false;
    bool watched = false;
    bool writtenSinceWatch = false;
    std::string held;  // lines waiting for the write mark to go
  };

  void Unmark(const std::string& hostPath, Mode mode);
  void DropIfIdle(std::map<std::string, Entry>::iterator entry);

  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;  // guarded by mutex_
};
