#include "tftp/answer_poll.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

std::atomic<int> slotsTaken{0};

int SlotCount() {
  static const int count = std::max(0, static_cast<int>(std::thread::hardware_concurrency()) - 1);
  return count;
}

// One of the process's polling slots while it lives, when one was free.
class Slot {
 public:
  Slot() {
    int taken = slotsTaken.load();
    while (taken < SlotCount() && !slotsTaken.compare_exchange_weak(taken, taken + 1)) {
    }
    held_ = taken < SlotCount();
  }
  ~Slot() {
    if (held_) slotsTaken.fetch_sub(1);
  }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  bool Held() const { return held_; }

 private:
  bool held_ = false;
};

}  // namespace

void AnswerPoll::Heard(Duration delay) {
  answerBefore_ = lastAnswer_;
  lastAnswer_ = delay;
}

// A single slow answer (the peer's disk, a busy moment) does not stop polling.
AnswerPoll::Duration AnswerPoll::Limit() const {
  const Duration quicker = std::min(lastAnswer_, answerBefore_);
  if (quicker > kMaxPoll) return Duration::zero();
  return std::min<Duration>(2 * quicker, kMaxPoll);
}

Received AnswerPoll::Poll(UdpSocket& socket, char* buffer, size_t capacity) {
  const Duration limit = Limit();
  if (limit == Duration::zero()) return Received{};
  const Slot slot;
  if (!slot.Held()) return Received{};
  return socket.Poll(buffer, capacity,
                     std::chrono::duration_cast<std::chrono::microseconds>(limit));
}

int AnswerPoll::SlotsTaken() { return slotsTaken.load(); }
