#include "tftp/net_tftp_server_receive_file_thread.h"

#include "tftp/tftp_exceptions.h"

void TNetTFTPServerReceiveFileThread::Start(std::shared_ptr<TTransferReportChannel> owner,
                                            TransferMode, const TPeerInfo& peer,
                                            std::unique_ptr<TTransferStream> stream,
                                            bool freeStream, const TSessionOptions& options,
                                            BusyFiles::Mark busy) {
  (new TNetTFTPServerReceiveFileThread(std::move(owner), peer, std::move(stream), freeStream,
                                       options, std::move(busy)))
      ->Begin();
}

void TNetTFTPServerReceiveFileThread::BuildNextPacket() {
  ack_ = BuildAck(BlockCounter);
  SetPending(ack_.data(), ack_.size());
}

TNetTFTPServerThread::TAnswer TNetTFTPServerReceiveFileThread::OnData(uint16_t block,
                                                                      std::string_view payload) {
  if (Finished || block != static_cast<uint16_t>(BlockCounter + 1)) return TAnswer::kResend;
  if (Stream->Write(payload.data(), payload.size()) != payload.size()) {
    throw EWriteError("Write error");
  }
  ++BlockCounter;
  Finished = payload.size() < static_cast<size_t>(Options.BlockSize);
  ClearPending();
  return TAnswer::kAdvanced;
}
