// The file transfers of the process since it started, by direction and
// result, and the bytes they moved, for the metrics page. Thread safe: each
// session counts itself from its own thread when it ends.
#pragma once

#include <atomic>
#include <cstdint>

class TransferCounters {
 public:
  struct Values {
    std::uint64_t readsCompleted = 0;
    std::uint64_t readsFailed = 0;
    std::uint64_t writesCompleted = 0;
    std::uint64_t writesFailed = 0;
    std::uint64_t bytesRead = 0;     // sent to peers
    std::uint64_t bytesWritten = 0;  // received from peers
  };

  static TransferCounters& Process();

  // One ended transfer; bytes is how far its file got.
  void Count(bool write, bool completed, std::uint64_t bytes);
  Values Read() const;

 private:
  std::atomic<std::uint64_t> readsCompleted_{0};
  std::atomic<std::uint64_t> readsFailed_{0};
  std::atomic<std::uint64_t> writesCompleted_{0};
  std::atomic<std::uint64_t> writesFailed_{0};
  std::atomic<std::uint64_t> bytesRead_{0};
  std::atomic<std::uint64_t> bytesWritten_{0};
};
