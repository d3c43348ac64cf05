#include "tftp/session_budget.h"

#include <algorithm>
#include <chrono>

#include "tftp/tftp_exceptions.h"

SessionBudget& SessionBudget::Process() {
  static SessionBudget* budget = new SessionBudget;  // never destroyed: sessions may outlive main
  return *budget;
}

SessionBudget::Claim::Claim(Claim&& other) noexcept
    : budget_(other.budget_),
      bytes_(other.bytes_),
      address_(other.address_),
      finalWait_(other.finalWait_) {
  other.budget_ = nullptr;
}

SessionBudget::Claim& SessionBudget::Claim::operator=(Claim&& other) noexcept {
  if (this != &other) {
    Release();
    budget_ = other.budget_;
    bytes_ = other.bytes_;
    address_ = other.address_;
    finalWait_ = other.finalWait_;
    other.budget_ = nullptr;
  }
  return *this;
}

SessionBudget::Claim::~Claim() { Release(); }

void SessionBudget::Claim::Release() {
  if (budget_ == nullptr) return;
  if (finalWait_) {
    budget_->GiveBackFinalWait(address_);
  } else {
    budget_->GiveBack(bytes_, address_);
  }
  budget_ = nullptr;
}

bool SessionBudget::Claim::MoveToFinalWait() {
  if (budget_ == nullptr || finalWait_) return finalWait_;
  finalWait_ = budget_->TakeFinalWait(bytes_, address_);
  return finalWait_;
}

SessionBudget::Claim SessionBudget::Take(size_t bufferBytes, uint32_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int sessionShare = std::max(1, maxSessions_ / kAddressShareDivisor);
  const size_t byteShare = maxBytes_ / kAddressShareDivisor;
  auto found = byAddress_.find(address);
  const Held held = found != byAddress_.end() ? found->second : Held{};
  if (sessions_ >= maxSessions_ || bytes_ + bufferBytes > maxBytes_ ||
      held.sessions >= sessionShare || held.bytes + bufferBytes > byteShare) {
    throw ENetTFTPAllocationExceeded("Too many transfers at once");
  }
  ++sessions_;
  bytes_ += bufferBytes;
  Held& mine = byAddress_[address];
  ++mine.sessions;
  mine.bytes += bufferBytes;
  return Claim(this, bufferBytes, address);
}

// One session's share becomes a final wait in one step, so the session is
// counted all along.
bool SessionBudget::TakeFinalWait(size_t bytes, uint32_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = byAddress_.find(address);
  if (found == byAddress_.end()) return false;
  Held& mine = found->second;
  const int waitShare = std::max(1, kMaxFinalWaits / kAddressShareDivisor);
  if (finalWaits_ >= kMaxFinalWaits || mine.finalWaits >= waitShare) return false;
  ++finalWaits_;
  ++mine.finalWaits;
  --sessions_;
  bytes_ -= bytes;
  --mine.sessions;
  mine.bytes -= bytes;
  return true;
}

void SessionBudget::GiveBack(size_t bytes, uint32_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  --sessions_;
  bytes_ -= bytes;
  auto found = byAddress_.find(address);
  if (found != byAddress_.end()) {
    --found->second.sessions;
    found->second.bytes -= bytes;
    ForgetIfEmpty(found);
  }
  ended_.notify_all();
}

void SessionBudget::GiveBackFinalWait(uint32_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  --finalWaits_;
  auto found = byAddress_.find(address);
  if (found != byAddress_.end()) {
    --found->second.finalWaits;
    ForgetIfEmpty(found);
  }
  ended_.notify_all();
}

void SessionBudget::ForgetIfEmpty(std::map<uint32_t, Held>::iterator found) {
  if (found->second.sessions == 0 && found->second.finalWaits == 0) byAddress_.erase(found);
}

int SessionBudget::LiveCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_ + finalWaits_;
}

size_t SessionBudget::BytesInUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

bool SessionBudget::WaitUntilAllEnded(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto none = [this] { return sessions_ + finalWaits_ == 0; };
  if (timeoutMs < 0) {
    ended_.wait(lock, none);
    return true;
  }
  return ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs), none);
}

void SessionBudget::SetLimits(int sessions, size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  maxSessions_ = sessions;
  maxBytes_ = bytes;
}
