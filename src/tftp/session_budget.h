// The transfer sessions of the process and the buffer memory they hold, with
// a cap on each, and for each requesting address a share of both caps (a
// quarter), so one address cannot lock the others out: a request past a cap
// or its address's share gets an error packet and no session. A session holds its Claim for its
// whole life, so a session that fails to start gives its share back with everything else it held.
// A complete store that only waits for a repeat of its last block moves its claim to a cap of
// its own, so stores one after another do not lock their address out while they wait.
// Thread safe; the one budget lives as long as the process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

class SessionBudget {
 public:
  // At most this many sessions at once (each one thread and one socket) ...
  static constexpr int kMaxSessions = 256;
  // ... holding at most this much buffer memory together (one windowed read
  // at the largest block and window holds about 8 MiB).
  static constexpr size_t kMaxBufferBytes = size_t{64} << 20;
  // One address holds at most this part of each cap (at least one session).
  static constexpr int kAddressShareDivisor = 4;
  // At most this many complete stores wait for a repeat of their last block.
  static constexpr int kMaxFinalWaits = 256;

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

    // The session's transfer is complete and it only waits for a repeat:
    // its session and bytes are given back for a final wait (also capped, a
    // quarter for each address). False, nothing changed: no final wait is
    // left for the address, and the session should end without one.
    bool MoveToFinalWait();

   private:
    friend class SessionBudget;
    Claim(SessionBudget* budget, size_t bytes, uint32_t address)
        : budget_(budget), bytes_(bytes), address_(address) {}
    void Release();
    SessionBudget* budget_ = nullptr;
    size_t bytes_ = 0;
    uint32_t address_ = 0;
    bool finalWait_ = false;
  };

  // A share for one more session with bufferBytes of buffers, requested from
  // address; raises ENetTFTPAllocationExceeded "Too many transfers at once"
  // past a cap or the address's share of it.
  [[nodiscard]] Claim Take(size_t bufferBytes, uint32_t address);

  // Sessions alive, final waits included.
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
  struct Held {
    int sessions = 0;
    size_t bytes = 0;
    int finalWaits = 0;
  };

  bool TakeFinalWait(size_t bytes, uint32_t address);
  void GiveBack(size_t bytes, uint32_t address);
  void GiveBackFinalWait(uint32_t address);
  void ForgetIfEmpty(std::map<uint32_t, Held>::iterator found);

  mutable std::mutex mutex_;
  std::condition_variable ended_;
  int sessions_ = 0;                    // guarded by mutex_
  size_t bytes_ = 0;                    // guarded by mutex_
  int finalWaits_ = 0;                  // guarded by mutex_
  std::map<uint32_t, Held> byAddress_;  // guarded by mutex_; addresses holding a session
  int maxSessions_ = kMaxSessions;      // guarded by mutex_
  size_t maxBytes_ = kMaxBufferBytes;   // guarded by mutex_
  std::atomic<bool> cutOff_{false};
};
