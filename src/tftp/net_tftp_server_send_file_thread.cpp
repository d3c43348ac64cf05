#include "tftp/net_tftp_server_send_file_thread.h"

#include <algorithm>

#include "tftp/tftp_protocol.h"

void TNetTFTPServerSendFileThread::Start(std::shared_ptr<TTransferReportChannel> owner,
                                         TransferMode, const TPeerInfo& peer,
                                         std::unique_ptr<TTransferStream> stream, bool freeStream,
                                         const TSessionOptions& options, BusyFiles::Mark busy) {
  auto* session = new TNetTFTPServerSendFileThread(std::move(owner), peer, std::move(stream),
                                                   freeStream, options, std::move(busy));
  const uint64_t window = static_cast<uint64_t>(options.WindowSize);
  session->blockSize_ = static_cast<size_t>(options.BlockSize);
  session->slotCount_ = std::max<uint64_t>(2 * window, kReadAheadBytes / session->blockSize_);
  session->payload_.resize(session->blockSize_ * session->slotCount_);
  session->headers_.resize(tftp::kHeaderSize * session->slotCount_);
  session->sizes_.resize(session->slotCount_);
  session->outgoing_.reserve(window);
  session->Begin();
}

void TNetTFTPServerSendFileThread::ReadUpTo(uint64_t end) {
  while (read_ < end && last_ == 0) {
    const uint64_t blocks = std::min(end - read_, slotCount_ - SlotIndex(read_));
    const size_t got = Stream->Read(Payload(read_), blocks * blockSize_);
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
void TNetTFTPServerSendFileThread::AfterSend() {
  if (base_ + slotCount_ - read_ >= slotCount_ / 2) ReadUpTo(base_ + slotCount_);
}

void TNetTFTPServerSendFileThread::BuildNextPacket() {
  ReadUpTo(base_ + static_cast<uint64_t>(Options.WindowSize));
  windowReady_ = true;
  Finished = last_ != 0 && base_ == last_;
}

bool TNetTFTPServerSendFileThread::HasPending() const {
  return windowReady_ || TNetTFTPServerThread::HasPending();
}

void TNetTFTPServerSendFileThread::SendPending() {
  if (!windowReady_) return TNetTFTPServerThread::SendPending();  // the option acknowledgement
  const uint64_t end = std::min(base_ + static_cast<uint64_t>(Options.WindowSize), read_);
  outgoing_.clear();
  for (uint64_t block = base_; block < end; ++block) {
    outgoing_.push_back({Header(block), tftp::kHeaderSize, Payload(block), sizes_[SlotIndex(block)]});
  }
  SendToPeer(outgoing_.data(), outgoing_.size());
  sentEnd_ = std::max(sentEnd_, end);
}

TNetTFTPServerThread::TAnswer TNetTFTPServerSendFileThread::OnAck(uint16_t block) {
  if (!windowReady_) {  // the option acknowledgement is answered by block 0
    if (block != 0) return TAnswer::kIgnored;
    ClearPending();
    return TAnswer::kAdvanced;
  }
  const uint64_t offset = static_cast<uint16_t>(block - static_cast<uint16_t>(base_));
  if (base_ + offset >= sentEnd_) return TAnswer::kIgnored;
  const uint64_t acknowledged = base_ + offset;
  if (acknowledged == last_) {
    Finished = true;
    return TAnswer::kEnded;
  }
  base_ = acknowledged + 1;
  windowReady_ = false;
  return TAnswer::kAdvanced;
}
