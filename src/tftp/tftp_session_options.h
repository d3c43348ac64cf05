// What a request's options settle for its session: the block size, the
// window, the pacing, the announced transfer size and the options to
// acknowledge. New options are added here and in NegotiateOptions; the
// session reads only this record.
#pragma once

#include <cstdint>

#include "tftp/tftp_packets.h"
#include "tftp/tftp_protocol.h"

struct SessionOptions {
  static constexpr int64_t kNoSize = -1;
  // A write's announced size too large to count: no disk can hold it.
  static constexpr int64_t kSizeBeyondCount = INT64_MAX;

  int BlockSize = tftp::kDefaultBlockSize;
  // The options to confirm in an OACK, in the client's order and spelling;
  // empty: no OACK, the transfer starts at once.
  OptionList Acknowledged;
  int AnswerWaitMs = tftp::kAnswerWaitMs;
  bool ClientChoseWait = false;  // AnswerWaitMs is the client's timeout
  // The wait, at most, until the peer has answered once (the server's default).
  int UnconfirmedWaitMs = tftp::kAnswerWaitMs;
  int SendsPerPacket = tftp::kSendsPerPacket;
  int WindowSize = 1;  // data blocks in flight; 1 is lock step
  // The size a write request announced, or kNoSize.
  int64_t AnnouncedSize = kNoSize;

  bool AsksForSize() const { return sizeEntry_ >= 0; }
  // Puts a read's file size into the acknowledgement, or drops the size
  // option when the size is unknown (negative) or 0: curl, for one, takes a
  // size of 0 for a broken acknowledgement and aborts.
  void SettleTransferSize(int64_t size);

 private:
  friend SessionOptions NegotiateOptions(const OptionList& requested, bool writeRequest);
  int sizeEntry_ = -1;  // index of the size option in Acknowledged
};

// Examines every option pair (names in any letter case, any order, unknown
// ones and repeats ignored):
// - blksize 8..65464 is acknowledged as asked, larger values as 65464,
//   smaller ones not at all; a value that is no integer raises EConvertError
//   "'<value>' is not a valid integer value".
// - tsize: in a read, acknowledged once the size is settled; in a write, a
//   decimal size is echoed and kept in AnnouncedSize.
// - timeout 1..255 seconds is acknowledged exactly and becomes AnswerWaitMs.
// - windowsize 1..65535 is acknowledged as the smaller of it and 64.
// Values outside these ranges, or no decimal numbers, are not acknowledged.
SessionOptions NegotiateOptions(const OptionList& requested, bool writeRequest = false);
