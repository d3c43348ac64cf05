#include "tftp/net_tftp_server_send_file_thread.h"

#include <algorithm>

#include "tftp/tftp_protocol.h"

void TNetTFTPServerSendFileThread::Start(std::shared_ptr<TTransferReportChannel> owner,
                                         TransferMode, const TPeerInfo& peer,
                                         std::unique_ptr<TTransferStream> stream, bool freeStream,
                                         const TSessionOptions& options, BusyFiles::Mark busy) {
  auto* session = new TNetTFTPServerSendFileThread(std::move(owner), peer, std::move(stream),
                                                   freeStream, options, std::move(busy));
  session->slotSize_ = static_cast<size_t>(options.BlockSize) + tftp::kHeaderSize;
  session->slotCount_ = 2 * static_cast<uint64_t>(options.WindowSize);
  session->slots_.resize(session->slotSize_ * session->slotCount_);
  session->sizes_.resize(session->slotCount_);
  session->outgoing_.reserve(static_cast<size_t>(options.WindowSize));
  session->Begin();
}

void TNetTFTPServerSendFileThread::ReadUpTo(uint64_t end) {
  for (; read_ < end && last_ == 0; ++read_) {
    char* packet = Slot(read_);
    const size_t got = Stream->Read(packet + tftp::kHeaderSize, static_cast<size_t>(Options.BlockSize));
    WriteDataHeader(packet, static_cast<uint16_t>(read_));  // 65535 is followed by 0
    sizes_[read_ % slotCount_] = tftp::kHeaderSize + got;
    if (got < static_cast<size_t>(Options.BlockSize)) last_ = read_;
  }
}

void TNetTFTPServerSendFileThread::AfterSend() { ReadUpTo(base_ + slotCount_); }

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
    outgoing_.push_back({Slot(block), sizes_[block % slotCount_]});
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
