// The transfer sessions of the process and the buffer memory they hold, with
// a cap on each: a request past either cap gets an error packet and no
// session. A session holds its Claim for its whole life, so a session that
// fails to start gives its share back with everything else it held.
// Thread safe; the one budget lives as long as the process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

class SessionBudget {
 public:
  // At most this many sessions at once (each one thread and one socket) ...
  static constexpr int kMaxSessions = 256;
  // ... holding at most this much buffer memory together (one windowed read
  // at the largest block and window holds about 8 MiB).
  static constexpr size_t kMaxBufferBytes = size_t{64} << 20;

  static SessionBudget& Process();

  // One session's share; given back when destroyed. Movable, not copyable.
  class Claim {
   public:
    Claim() = default;
    Claim(Claim&& other) noexcept;
    Claim& operator=(Claim&& other) noexcept;
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim();

   private:
    friend class SessionBudget;
    Claim(SessionBudget* budget, size_t bytes) : budget_(budget), bytes_(bytes) {}
    void Release();
    SessionBudget* budget_ = nullptr;
    size_t bytes_ = 0;
  };

  // A share for one more session with bufferBytes of buffers; raises
  // ENetTFTPAllocationExceeded "Too many transfers at once" past a cap.
  [[nodiscard]] Claim Take(size_t bufferBytes);

  int LiveCount() const;
  size_t BytesInUse() const;
  // Waits until no session is left; false when timeoutMs passed first
  // (negative: no limit).
  bool WaitUntilAllEnded(int timeoutMs);
  // The process is ending and its limit has passed: every session still
  // running ends within kCutOffSliceMs with an error packet to its peer.
  void CutOffAll() { cutOff_ = true; }
  bool CutOff() const { return cutOff_; }
  static constexpr int kCutOffSliceMs = 200;

  // Changes the caps (tests use small ones).
  void SetLimits(int sessions, size_t bytes);

 private:
  void GiveBack(size_t bytes);

  mutable std::mutex mutex_;
  std::condition_variable ended_;
  int sessions_ = 0;                   // guarded by mutex_
  size_t bytes_ = 0;                   // guarded by mutex_
  int maxSessions_ = kMaxSessions;     // guarded by mutex_
  size_t maxBytes_ = kMaxBufferBytes;  // guarded by mutex_
  std::atomic<bool> cutOff_{false};
};
