// The session of a write request: writes each data block with the next
// number and acknowledges it, or with a window agreed, acknowledges each full
// window, the short last block, and on a gap the last block in order. A
// repeated block is never written twice; in lock step every stray block is
// answered at once, inside a window once per burst of strays. After the short
// last block it waits once more, so a lost last acknowledgement is answered
// when the peer repeats the block. Runs on its own thread.
#pragma once

#include <string>

#include "tftp/tftp_session.h"

class ReceiveSession final : public TftpSession {
 public:
  // The buffer bytes a write will hold.
  static size_t BufferBytes(const SessionOptions& options);

  // Raises as TftpSession.
  explicit ReceiveSession(Setup setup);

 private:
  bool IsWriteOperation() const override { return true; }
  void BuildNextPacket() override;
  Answer OnData(uint16_t block, std::string_view payload) override;
  // An acknowledgement went out: the peer's next window starts after it.
  void AfterSend() override { sinceAck_ = 0; }
  // Whether a block that is not the next one deserves an acknowledgement.
  bool AnswerStray(uint16_t block);

  std::string ack_;
  int sinceAck_ = 0;         // blocks written since the last acknowledgement sent
  bool strayBurst_ = false;  // strays seen since the last block in order
  uint16_t lastStray_ = 0;
};
