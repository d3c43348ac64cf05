// The session of a read request: sends the stream in blocks of the agreed
// size and moves on only when the current block is acknowledged; other
// acknowledgements are ignored (a late duplicate never triggers a resend).
#pragma once

#include "tftp/net_tftp_server_thread.h"

class TNetTFTPServerSendFileThread final : public TNetTFTPServerThread {
 public:
  // Starts the session on its own thread; it frees itself at its end.
  static void Start(std::shared_ptr<TTransferReportChannel> owner, TransferMode mode,
                    const TPeerInfo& peer, std::unique_ptr<TTransferStream> stream,
                    bool freeStream, const TSessionOptions& options, BusyFiles::Mark busy);

 private:
  using TNetTFTPServerThread::TNetTFTPServerThread;

  bool IsWriteOperation() const override { return false; }
  void BuildNextPacket() override;
  TAnswer OnAck(uint16_t block) override;
  // Reads the next block while the peer works on the current one.
  void AfterSend() override;

  // Two packets, each a header and one block read straight from the stream:
  // the one pending, and the next one read ahead.
  std::vector<char> packet_;
  std::vector<char> next_;
  bool nextRead_ = false;
  size_t nextSize_ = 0;
};
