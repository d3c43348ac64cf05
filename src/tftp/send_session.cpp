#include "tftp/send_session.h"

#include <algorithm>

#include "tftp/tftp_packets.h"

namespace {

constexpr size_t kAckBuffer = tftp::kHeaderSize;  // acknowledgements only (errors: see the base)

// The ring's slots and payload bytes for a read of remaining bytes.
struct RingSize {
  uint64_t slots;
  size_t payloadBytes;
};

RingSize RingFor(const SessionOptions& options, int64_t remaining, size_t readAheadBytes) {
  const size_t blockSize = static_cast<size_t>(options.BlockSize);
  const uint64_t usual =
      std::max<uint64_t>(2 * static_cast<uint64_t>(options.WindowSize), readAheadBytes / blockSize);
  if (remaining >= 0) {
    const uint64_t blocksLeft =
        static_cast<uint64_t>(remaining) / blockSize + 1;  // with the short last
    if (blocksLeft <= usual) return {blocksLeft, static_cast<size_t>(remaining)};
  }
  return {usual, static_cast<size_t>(usual) * blockSize};
}

}  // namespace

size_t SendSession::BufferBytes(const SessionOptions& options, int64_t remaining) {
  const RingSize ring = RingFor(options, remaining, kReadAheadBytes);
  return ring.payloadBytes + ring.slots * (tftp::kHeaderSize + sizeof(size_t)) +
         static_cast<size_t>(options.WindowSize) * sizeof(OutgoingDatagram);
}

SendSession::SendSession(Setup setup, int64_t remaining)
    : TftpSession(std::move(setup), kAckBuffer),
      blockSize_(static_cast<size_t>(options_.BlockSize)),
      slotCount_(RingFor(options_, remaining, kReadAheadBytes).slots),
      payload_(RingFor(options_, remaining, kReadAheadBytes).payloadBytes),
      headers_(tftp::kHeaderSize * slotCount_),
      sizes_(slotCount_) {
  outgoing_.reserve(static_cast<size_t>(options_.WindowSize));
}

// A ring that holds the whole rest of the file ends where the file ended at
// the request: a read never goes past the buffer, and a slot cut short by its
// end is the short last block.
void SendSession::ReadUpTo(uint64_t end) {
  end = std::min(end, base_ + slotCount_);  // never over a block in flight
  while (read_ < end && last_ == 0) {
    const uint64_t blocks = std::min(end - read_, slotCount_ - SlotIndex(read_));
    const size_t room = std::min<size_t>(blocks * blockSize_, payload_.size() - Offset(read_));
    const size_t got = Stream().Read(payload_.data() + Offset(read_), room);
    for (uint64_t i = 0; i < blocks && last_ == 0; ++i, ++read_) {
      const size_t offset = i * blockSize_;
      const size_t size = got > offset ? std::min(blockSize_, got - offset) : 0;
      WriteDataHeader(Header(read_), static_cast<uint16_t>(read_));  // 65535 is followed by 0
      sizes_[SlotIndex(read_)] = size;
      if (size < blockSize_) last_ = read_;
    }
  }
}

// Refills the ring only once half of it is free: fewer, larger reads.
void SendSession::AfterSend() {
  if (base_ + slotCount_ - read_ >= slotCount_ / 2) ReadUpTo(base_ + slotCount_);
}

void SendSession::BuildNextPacket() {
  ReadUpTo(base_ + static_cast<uint64_t>(options_.WindowSize));
  windowReady_ = true;
}

bool SendSession::HasPending() const { return windowReady_ || TftpSession::HasPending(); }

void SendSession::SendPending() {
  if (!windowReady_) return TftpSession::SendPending();  // the option acknowledgement
  const uint64_t end = std::min(base_ + static_cast<uint64_t>(options_.WindowSize), read_);
  outgoing_.clear();
  for (uint64_t block = base_; block < end; ++block) {
    outgoing_.push_back({Header(block), tftp::kHeaderSize, payload_.data() + Offset(block),
                         sizes_[SlotIndex(block)]});
  }
  SendToPeer(outgoing_.data(), outgoing_.size());
  sentEnd_ = std::max(sentEnd_, end);
}

// The option acknowledgement, or the first block of the window.
std::string SendSession::FirstAnswer() const {
  if (!windowReady_) return TftpSession::FirstAnswer();
  std::string packet(headers_.data() + SlotIndex(base_) * tftp::kHeaderSize, tftp::kHeaderSize);
  packet.append(payload_.data() + Offset(base_), sizes_[SlotIndex(base_)]);
  return packet;
}

TftpSession::Answer SendSession::OnAck(uint16_t block) {
  if (!windowReady_) {  // the option acknowledgement is answered by block 0
    if (block != 0) return Answer::kIgnored;
    ClearPending();
    return Answer::kAdvanced;
  }
  const uint64_t offset = static_cast<uint16_t>(block - static_cast<uint16_t>(base_));
  if (base_ + offset >= sentEnd_) return Answer::kIgnored;
  const uint64_t acknowledged = base_ + offset;
  if (acknowledged == last_) {
    finished_ = true;
    return Answer::kEnded;
  }
  base_ = acknowledged + 1;
  windowReady_ = false;
  return Answer::kAdvanced;
}
