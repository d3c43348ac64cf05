#include "tftp/net_tftp_server_send_file_thread.h"

#include "tftp/tftp_protocol.h"

void TNetTFTPServerSendFileThread::Start(std::shared_ptr<TTransferReportChannel> owner,
                                         TransferMode, const TPeerInfo& peer,
                                         std::unique_ptr<TTransferStream> stream, bool freeStream,
                                         const TSessionOptions& options, BusyFiles::Mark busy) {
  auto* session = new TNetTFTPServerSendFileThread(std::move(owner), peer, std::move(stream),
                                                   freeStream, options, std::move(busy));
  session->packet_.resize(static_cast<size_t>(options.BlockSize) + tftp::kHeaderSize);
  session->Begin();
}

void TNetTFTPServerSendFileThread::BuildNextPacket() {
  ++BlockCounter;  // 65535 is followed by 0
  const size_t blockSize = static_cast<size_t>(Options.BlockSize);
  const size_t got = Stream->Read(packet_.data() + tftp::kHeaderSize, blockSize);
  WriteDataHeader(packet_.data(), BlockCounter);
  SetPending(packet_.data(), tftp::kHeaderSize + got);
  Finished = got < blockSize;
}

TNetTFTPServerThread::TAnswer TNetTFTPServerSendFileThread::OnAck(uint16_t block) {
  if (block != BlockCounter) return TAnswer::kIgnored;
  if (Finished) return TAnswer::kEnded;
  ClearPending();
  return TAnswer::kAdvanced;
}
