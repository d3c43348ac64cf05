#include "tftp/receive_session.h"

#include "tftp/tftp_exceptions.h"
#include "tftp/tftp_packets.h"
#include "tftp/tftp_protocol.h"

size_t ReceiveSession::BufferBytes(const SessionOptions& options) {
  return static_cast<size_t>(options.BlockSize) + tftp::kHeaderSize;
}

// A window arrives in one burst: unless the socket can queue all of it while
// the session writes, a slow moment drops its tail, and the peer sends the
// window again, and again.
ReceiveSession::ReceiveSession(Setup setup)
    : TftpSession(std::move(setup), BufferBytes(setup.options)) {
  if (options_.WindowSize > 1) QueueReceivedBytes(options_.WindowSize * BufferBytes(options_));
}

void ReceiveSession::BuildNextPacket() {
  ack_ = BuildAck(blockCounter_);
  SetPending(ack_.data(), ack_.size());
}

TftpSession::Answer ReceiveSession::OnData(uint16_t block, std::string_view payload) {
  if (finished_ || block != static_cast<uint16_t>(blockCounter_ + 1)) {
    return AnswerStray(block) ? Answer::kResend : Answer::kIgnored;
  }
  if (Stream().Write(payload.data(), payload.size()) != payload.size()) {
    throw EWriteError("Write error");
  }
  ++blockCounter_;
  ++sinceAck_;
  strayBurst_ = false;
  // The file is complete: it replaces its target, and records that waited
  // for it follow it before the last acknowledgement tells the unit so, and
  // a fetch may begin at once.
  if (payload.size() < static_cast<size_t>(options_.BlockSize)) {
    Stream().Finish();
    finished_ = true;
    ReleaseFileMark();
  }
  if (finished_ || sinceAck_ >= options_.WindowSize) {
    ClearPending();
    return Answer::kAdvanced;
  }
  BuildNextPacket();  // what a wait without the rest of the window sends
  return Answer::kProgress;
}

// A peer resending a window starts a new burst with a block number not above
// the last stray; the rest of a burst only repeats what was answered.
bool ReceiveSession::AnswerStray(uint16_t block) {
  if (options_.WindowSize == 1) return true;
  const bool newBurst = !strayBurst_ || static_cast<int16_t>(block - lastStray_) <= 0;
  strayBurst_ = true;
  lastStray_ = block;
  return newBurst;
}
