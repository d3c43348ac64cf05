#include "tftp/repeated_requests.h"

#include "tftp/udp_socket.h"

void RepeatedRequests::Entry::Arm(UdpSocket* socket, const sockaddr_in& peer, std::string packet,
                                  int sends) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;
  socket_ = socket;
  peer_ = peer;
  packet_ = std::move(packet);
  sendsLeft_ = sends;
}

void RepeatedRequests::Entry::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  socket_ = nullptr;
  packet_.clear();
}

// A failed send is one lost answer: the client repeats again or gives up.
bool RepeatedRequests::Entry::AnswerAgain() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  if (socket_ == nullptr || sendsLeft_ == 0) return true;
  --sendsLeft_;
  socket_->SendTo(peer_, packet_);
  return true;
}

RepeatedRequests::Key RepeatedRequests::KeyOf(const sockaddr_in& peer, uint16_t opcode,
                                              const std::string& fileName) {
  return {peer.sin_addr.s_addr, peer.sin_port, opcode, fileName};
}

std::shared_ptr<RepeatedRequests::Entry> RepeatedRequests::Open(const sockaddr_in& peer,
                                                                uint16_t opcode,
                                                                const std::string& fileName) {
  auto entry = std::make_shared<Entry>();
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [](const auto& item) { return item.second.expired(); });
  entries_[KeyOf(peer, opcode, fileName)] = entry;
  return entry;
}

bool RepeatedRequests::AnswerRepeat(const sockaddr_in& peer, uint16_t opcode,
                                    const std::string& fileName) {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(KeyOf(peer, opcode, fileName));
    if (found == entries_.end()) return false;
    entry = found->second.lock();
  }
  return entry && entry->AnswerAgain();
}
