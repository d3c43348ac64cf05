// What a request's options settle for its session: the block size, the
// options to acknowledge, and the session's pacing. New options are added
// here and in NegotiateOptions; the session reads only this record.
#pragma once

#include "tftp/tftp_packets.h"
#include "tftp/tftp_protocol.h"

struct TSessionOptions {
  int BlockSize = tftp::kDefaultBlockSize;
  // The options to confirm in an OACK, in the client's order and spelling;
  // empty: no OACK, the transfer starts at once.
  TOptionList Acknowledged;
  int AnswerWaitMs = tftp::kAnswerWaitMs;
  int SendsPerPacket = tftp::kSendsPerPacket;
};

// Examines every option pair (names in any letter case, any order, unknown
// ones ignored). blksize 8..65464 is acknowledged as asked, larger values as
// 65464, smaller ones not at all. A value that is no integer raises
// EConvertError "'<value>' is not a valid integer value".
TSessionOptions NegotiateOptions(const TOptionList& requested);
