// The session of a read request: sends the stream in blocks of the agreed
// size, a window of WindowSize blocks at a time (one: lock step). An
// acknowledgement of a block in flight moves the window on to the block after
// it and sends that window; a wait without one sends the window again from the
// first unacknowledged block, the short last block included: the session
// succeeds only once the last block is acknowledged. Acknowledgements of
// anything else are ignored (a late duplicate never triggers a resend). Runs
// on its own thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tftp/tftp_protocol.h"
#include "tftp/tftp_session.h"

class SendSession final : public TftpSession {
 public:
  // The buffer bytes a read of remaining bytes (-1: unknown) will hold.
  static size_t BufferBytes(const SessionOptions& options, int64_t remaining);

  // setup.stream holds remaining bytes (-1: unknown). Raises as TftpSession.
  SendSession(Setup setup, int64_t remaining);

 private:
  bool IsWriteOperation() const override { return false; }
  void BuildNextPacket() override;
  bool HasPending() const override;
  void SendPending() override;
  std::string FirstAnswer() const override;
  Answer OnAck(uint16_t block) override;
  // Reads blocks ahead while the peer works on the window.
  void AfterSend() override;

  // Reads blocks into free slots until the one numbered end (exclusive), as
  // many as fit in one read while the ring does not wrap.
  void ReadUpTo(uint64_t end);
  size_t SlotIndex(uint64_t sequence) const {
    return static_cast<size_t>((sequence - 1) % slotCount_);
  }
  size_t Offset(uint64_t sequence) const { return SlotIndex(sequence) * blockSize_; }
  char* Header(uint64_t sequence) {
    return headers_.data() + SlotIndex(sequence) * tftp::kHeaderSize;
  }

  // A ring of slotCount_ blocks: the window in flight and the blocks read
  // ahead of it. The payloads lie back to back, so several blocks come from
  // one read of the stream, and each datagram leaves as its header followed
  // by its payload. The ring holds at least two windows and about
  // kReadAheadBytes, but never more blocks than the file has left, nor more
  // payload bytes than it has left (then the ring holds the whole rest of the
  // file, as it was when the request came). It is refilled once half of it
  // is free. Sequences count blocks from 1 and never wrap; the block number
  // on the wire is the sequence modulo 65536.
  static constexpr size_t kReadAheadBytes = 32 * 1024;
  const size_t blockSize_;
  const uint64_t slotCount_;
  std::vector<char> payload_;
  std::vector<char> headers_;
  std::vector<size_t> sizes_;  // payload bytes of each slot
  uint64_t base_ = 1;          // the first block not acknowledged
  uint64_t read_ = 1;          // the first block not read yet
  uint64_t sentEnd_ = 1;       // the block after the last one sent
  uint64_t last_ = 0;          // the short last block, once read
  bool windowReady_ = false;
  std::vector<OutgoingDatagram> outgoing_;  // the window being sent
};
