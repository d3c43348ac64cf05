#include "tftp/net_tftp_server_send_file_thread.h"

#include "tftp/tftp_protocol.h"

void TNetTFTPServerSendFileThread::Start(std::shared_ptr<TTransferReportChannel> owner,
                                         TransferMode, const TPeerInfo& peer,
                                         std::unique_ptr<TTransferStream> stream, bool freeStream,
                                         const TSessionOptions& options, BusyFiles::Mark busy) {
  auto* session = new TNetTFTPServerSendFileThread(std::move(owner), peer, std::move(stream),
                                                   freeStream, options, std::move(busy));
  session->packet_.resize(static_cast<size_t>(options.BlockSize) + tftp::kHeaderSize);
  session->next_.resize(session->packet_.size());
  session->Begin();
}

void TNetTFTPServerSendFileThread::AfterSend() {
  if (nextRead_ || Finished) return;
  nextSize_ = Stream->Read(next_.data() + tftp::kHeaderSize, static_cast<size_t>(Options.BlockSize));
  nextRead_ = true;
}

void TNetTFTPServerSendFileThread::BuildNextPacket() {
  ++BlockCounter;  // 65535 is followed by 0
  AfterSend();
  packet_.swap(next_);
  nextRead_ = false;
  WriteDataHeader(packet_.data(), BlockCounter);
  SetPending(packet_.data(), tftp::kHeaderSize + nextSize_);
  Finished = nextSize_ < static_cast<size_t>(Options.BlockSize);
}

TNetTFTPServerThread::TAnswer TNetTFTPServerSendFileThread::OnAck(uint16_t block) {
  if (block != BlockCounter) return TAnswer::kIgnored;
  if (Finished) return TAnswer::kEnded;
  ClearPending();
  return TAnswer::kAdvanced;
}
