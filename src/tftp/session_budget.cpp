#include "tftp/session_budget.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "tftp/tftp_exceptions.h"

SessionBudget& SessionBudget::Process() {
  static SessionBudget* budget = new SessionBudget;  // never destroyed: sessions may outlive main
  return *budget;
}

SessionBudget::Claim::Claim(Claim&& other) noexcept : budget_(other.budget_), id_(other.id_) {
  other.budget_ = nullptr;
}

SessionBudget::Claim& SessionBudget::Claim::operator=(Claim&& other) noexcept {
  if (this != &other) {
    Release();
    budget_ = other.budget_;
    id_ = other.id_;
    other.budget_ = nullptr;
  }
  return *this;
}

SessionBudget::Claim::~Claim() { Release(); }

void SessionBudget::Claim::Release() {
  if (budget_ != nullptr) budget_->GiveBack(id_);
  budget_ = nullptr;
}

bool SessionBudget::Claim::MoveToFinalWait() {
  return budget_ != nullptr && budget_->TakeFinalWait(id_);
}

void SessionBudget::Claim::Confirm() {
  if (budget_ != nullptr) budget_->Confirm(id_);
}

void SessionBudget::Claim::SetWake(std::function<void()> wake) {
  if (budget_ != nullptr) budget_->SetWake(id_, std::move(wake));
}

bool SessionBudget::Claim::Evicted() const { return budget_ != nullptr && budget_->Evicted(id_); }

SessionBudget::Claim SessionBudget::Take(size_t bufferBytes, uint32_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!AddressFits(bufferBytes, address) ||
      (!ProcessFits(bufferBytes, 0, 0) && !EvictFor(bufferBytes))) {
    throw ENetTFTPAllocationExceeded("Too many transfers at once");
  }
  ++sessions_;
  bytes_ += bufferBytes;
  Held& mine = byAddress_[address];
  ++mine.sessions;
  mine.bytes += bufferBytes;
  const uint64_t id = nextId_++;
  Session session;
  session.bytes = bufferBytes;
  session.address = address;
  claims_.emplace(id, std::move(session));
  return Claim(this, id);
}

bool SessionBudget::AddressFits(size_t bytes, uint32_t address) const {
  const int sessionShare = std::max(1, maxSessions_ / kAddressShareDivisor);
  const size_t byteShare = maxBytes_ / kAddressShareDivisor;
  auto found = byAddress_.find(address);
  const Held held = found != byAddress_.end() ? found->second : Held{};
  return held.sessions < sessionShare && held.bytes + bytes <= byteShare;
}

bool SessionBudget::ProcessFits(size_t bytes, int freedSessions, size_t freedBytes) const {
  return sessions_ - freedSessions < maxSessions_ && bytes_ - freedBytes + bytes <= maxBytes_;
}

// The oldest unconfirmed sessions that together make room, or none at all.
bool SessionBudget::EvictFor(size_t bytes) {
  std::vector<Sessions::iterator> chosen;
  size_t freedBytes = 0;
  for (auto it = claims_.begin(); it != claims_.end(); ++it) {
    if (ProcessFits(bytes, static_cast<int>(chosen.size()), freedBytes)) break;
    if (it->second.state != State::kRunning || it->second.confirmed) continue;
    chosen.push_back(it);
    freedBytes += it->second.bytes;
  }
  if (!ProcessFits(bytes, static_cast<int>(chosen.size()), freedBytes) ||
      evicted_ + static_cast<int>(chosen.size()) > kMaxEvicted) {
    return false;
  }
  for (Sessions::iterator it : chosen) {
    Uncount(it->second);
    it->second.state = State::kEvicted;
    ++evicted_;
    if (it->second.wake) it->second.wake();
    it->second.wake = nullptr;
  }
  return true;
}

// One session's share becomes a final wait in one step, so the session is
// counted all along.
bool SessionBudget::TakeFinalWait(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto session = claims_.find(id);
  if (session == claims_.end() || session->second.state != State::kRunning) {
    return session != claims_.end() && session->second.state == State::kFinalWait;
  }
  auto mine = byAddress_.find(session->second.address);
  const int waitShare = std::max(1, kMaxFinalWaits / kAddressShareDivisor);
  if (mine == byAddress_.end() || finalWaits_ >= kMaxFinalWaits ||
      mine->second.finalWaits >= waitShare) {
    return false;
  }
  ++finalWaits_;
  ++mine->second.finalWaits;  // first: the address stays known
  Uncount(session->second);
  session->second.state = State::kFinalWait;
  return true;
}

void SessionBudget::Uncount(const Session& session) {
  auto found = byAddress_.find(session.address);
  if (session.state == State::kRunning) {
    --sessions_;
    bytes_ -= session.bytes;
    if (found != byAddress_.end()) {
      --found->second.sessions;
      found->second.bytes -= session.bytes;
    }
  } else if (session.state == State::kFinalWait) {
    --finalWaits_;
    if (found != byAddress_.end()) --found->second.finalWaits;
  } else {
    --evicted_;
  }
  if (found != byAddress_.end()) ForgetIfEmpty(found);
}

void SessionBudget::GiveBack(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto session = claims_.find(id);
  if (session == claims_.end()) return;
  Uncount(session->second);
  claims_.erase(session);
  ended_.notify_all();
}

void SessionBudget::Confirm(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto session = claims_.find(id);
  if (session == claims_.end()) return;
  session->second.confirmed = true;
  session->second.wake = nullptr;
}

void SessionBudget::SetWake(uint64_t id, std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto session = claims_.find(id);
  if (session == claims_.end()) return;
  if (session->second.state == State::kEvicted && wake)
    return wake();  // evicted before it could be woken
  session->second.wake = std::move(wake);
}

bool SessionBudget::Evicted(uint64_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto session = claims_.find(id);
  return session != claims_.end() && session->second.state == State::kEvicted;
}

void SessionBudget::ForgetIfEmpty(std::map<uint32_t, Held>::iterator found) {
  if (found->second.sessions == 0 && found->second.finalWaits == 0) byAddress_.erase(found);
}

int SessionBudget::LiveCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_ + finalWaits_ + evicted_;
}

size_t SessionBudget::BytesInUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

bool SessionBudget::WaitUntilAllEnded(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto none = [this] { return sessions_ + finalWaits_ + evicted_ == 0; };
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
