// The session of a write request: acknowledges each data block with the next
// number after writing it; a repeated block is acknowledged again at once and
// never written twice. After the short last block it waits once more, so a
// lost last acknowledgement is answered when the peer repeats the block.
#pragma once

#include <string>

#include "tftp/net_tftp_server_thread.h"

class TNetTFTPServerReceiveFileThread final : public TNetTFTPServerThread {
 public:
  // Starts the session on its own thread; it frees itself at its end.
  static void Start(std::shared_ptr<TTransferReportChannel> owner, TransferMode mode,
                    const TPeerInfo& peer, std::unique_ptr<TTransferStream> stream,
                    bool freeStream, const TSessionOptions& options, BusyFiles::Mark busy);

 private:
  using TNetTFTPServerThread::TNetTFTPServerThread;

  bool IsWriteOperation() const override { return true; }
  void BuildNextPacket() override;
  TAnswer OnData(uint16_t block, std::string_view payload) override;

  std::string ack_;
};
