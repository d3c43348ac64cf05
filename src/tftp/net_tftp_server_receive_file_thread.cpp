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
  if (Finished || block != static_cast<uint16_t>(BlockCounter + 1)) {
    return AnswerStray(block) ? TAnswer::kResend : TAnswer::kIgnored;
  }
  if (Stream->Write(payload.data(), payload.size()) != payload.size()) {
    throw EWriteError("Write error");
  }
  ++BlockCounter;
  ++sinceAck_;
  strayBurst_ = false;
  Finished = payload.size() < static_cast<size_t>(Options.BlockSize);
  if (Finished || sinceAck_ >= Options.WindowSize) {
    ClearPending();
    return TAnswer::kAdvanced;
  }
  BuildNextPacket();  // what a wait without the rest of the window sends
  return TAnswer::kProgress;
}

// A peer resending a window starts a new burst with a block number not above
// the last stray; the rest of a burst only repeats what was answered.
bool TNetTFTPServerReceiveFileThread::AnswerStray(uint16_t block) {
  if (Options.WindowSize == 1) return true;
  const bool newBurst = !strayBurst_ || static_cast<int16_t>(block - lastStray_) <= 0;
  strayBurst_ = true;
  lastStray_ = block;
  return newBurst;
}
