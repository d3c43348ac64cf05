// The transfer sessions of the process and the buffer memory they hold, with
// a cap on each, and for each requesting address a share of both caps (a
// quarter), so one address cannot lock the others out: a request past a cap
// or its address's share gets an error packet and no session. A session holds its Claim for its
// whole life, so a session that fails to start gives its share back with everything else it held.
// A complete store that only waits for a repeat of its last block moves its claim to a cap of
// its own, so stores one after another do not lock their address out while they wait.
// A session whose peer has not answered yet may have been forged: when the
// process caps are full, a new request takes the place of the oldest such
// sessions (they are woken to end at once).
// Thread safe; the one budget lives as long as the process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
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
  // At most this many sessions that gave their place away are still ending.
  static constexpr int kMaxEvicted = 64;

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
    // The peer has answered: the session keeps its place.
    void Confirm();
    // Called, under the budget's lock and on the thread of the request that
    // takes the session's place, to end the session's wait; null: none.
    void SetWake(std::function<void()> wake);
    // The session gave its place to a new request and should end.
    bool Evicted() const;

   private:
    friend class SessionBudget;
    Claim(SessionBudget* budget, uint64_t id) : budget_(budget), id_(id) {}
    void Release();
    SessionBudget* budget_ = nullptr;
    uint64_t id_ = 0;
  };

  // A share for one more session with bufferBytes of buffers, requested from
  // address, in place of the oldest unconfirmed sessions when the process
  // caps are full; raises ENetTFTPAllocationExceeded "Too many transfers at
  // once" past the address's share, or past a cap that no such session frees.
  [[nodiscard]] Claim Take(size_t bufferBytes, uint32_t address);

  // Sessions alive, final waits and the ones still ending included.
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
  enum class State { kRunning, kFinalWait, kEvicted };
  struct Session {
    size_t bytes = 0;
    uint32_t address = 0;
    State state = State::kRunning;
    bool confirmed = false;
    std::function<void()> wake;
  };
  using Sessions = std::map<uint64_t, Session>;

  // Under mutex_:
  bool AddressFits(size_t bytes, uint32_t address) const;
  bool ProcessFits(size_t bytes, int freedSessions, size_t freedBytes) const;
  bool EvictFor(size_t bytes);
  void Uncount(const Session& session);
  void ForgetIfEmpty(std::map<uint32_t, Held>::iterator found);

  bool TakeFinalWait(uint64_t id);
  void GiveBack(uint64_t id);
  void Confirm(uint64_t id);
  void SetWake(uint64_t id, std::function<void()> wake);
  bool Evicted(uint64_t id) const;

  mutable std::mutex mutex_;
  std::condition_variable ended_;
  int sessions_ = 0;                    // guarded by mutex_
  size_t bytes_ = 0;                    // guarded by mutex_
  int finalWaits_ = 0;                  // guarded by mutex_
  int evicted_ = 0;                     // guarded by mutex_
  std::map<uint32_t, Held> byAddress_;  // guarded by mutex_; addresses holding a session
  Sessions claims_;                     // guarded by mutex_; by age
  uint64_t nextId_ = 1;                 // guarded by mutex_
  int maxSessions_ = kMaxSessions;      // guarded by mutex_
  size_t maxBytes_ = kMaxBufferBytes;   // guarded by mutex_
  std::atomic<bool> cutOff_{false};
};
