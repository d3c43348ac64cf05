// The registry of files that a file transfer is working on. A transfer
// session marks its file busy for its whole run; the retention sweep leaves
// busy files for its next run. Keys are host paths as PathResolver gives them.
// Thread safe: sessions mark from their own threads, the sweep asks from the
// main thread.
#pragma once

#include <map>
#include <mutex>
#include <string>

class BusyFiles {
 public:
  // The one registry of the process.
  static BusyFiles& Instance();

  // Keeps a file marked busy while it lives. Movable, not copyable.
  class Mark {
   public:
    Mark() = default;
    Mark(Mark&& other) noexcept;
    Mark& operator=(Mark&& other) noexcept;
    Mark(const Mark&) = delete;
    Mark& operator=(const Mark&) = delete;
    ~Mark();

   private:
    friend class BusyFiles;
    Mark(BusyFiles* registry, std::string path);
    void Release();
    BusyFiles* registry_ = nullptr;
    std::string path_;
  };

  // Marks hostPath busy until the returned Mark is destroyed; marks nest.
  [[nodiscard]] Mark MarkBusy(const std::string& hostPath);
  bool IsBusy(const std::string& hostPath) const;

 private:
  void Unmark(const std::string& hostPath);

  mutable std::mutex mutex_;
  std::map<std::string, int> counts_;  // guarded by mutex_
};
