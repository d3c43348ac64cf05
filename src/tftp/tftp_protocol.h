// The TFTP wire format (RFC 1350 with the options of RFC 2347/2348/2349/7440): opcodes,
// error codes, option names and limits, and the packet layouts. Every 16-bit
// field is in network byte order; texts end with one zero byte.
// The grammar is written out in docs/tftp_protocol.md.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tftp {

enum Opcode : uint16_t {
  kReadRequest = 1,   // RRQ:  opcode, file name 0, mode 0, { option 0 value 0 }
  kWriteRequest = 2,  // WRQ:  as RRQ
  kData = 3,          // DATA: opcode, block, 0..blocksize data bytes
  kAck = 4,           // ACK:  opcode, block
  kError = 5,         // ERROR: opcode, code, message 0
  kOptionAck = 6,     // OACK: opcode, { option 0 value 0 } (nothing after the last 0)
};

enum ErrorCode : uint16_t {
  kNotDefined = 0,
  kFileNotFound = 1,
  kAccessViolation = 2,
  kAllocationExceeded = 3,
  kIllegalOperation = 4,
  kUnknownTransferId = 5,
  kFileAlreadyExists = 6,
  kNoSuchUser = 7,
  kOptionNegotiationFailed = 8,
};

constexpr size_t kOpcodeSize = 2;
constexpr size_t kHeaderSize = 4;  // opcode and block number of DATA and ACK
constexpr int kDefaultBlockSize = 512;

// The block-size option (RFC 2348): values below the minimum count as no
// option, values above the maximum are acknowledged with the maximum.
constexpr const char* kBlockSizeOption = "blksize";
constexpr int kMinBlockSize = 8;
constexpr int kMaxBlockSize = 65464;

// The transfer-size option (RFC 2349): a read is answered with the file's
// size, a write announces its size and is refused when the disk cannot hold it.
constexpr const char* kTransferSizeOption = "tsize";

// The time-out option (RFC 2349): seconds, acknowledged exactly within range.
constexpr const char* kTimeoutOption = "timeout";
constexpr int kMinTimeoutSeconds = 1;
constexpr int kMaxTimeoutSeconds = 255;

// The window option (RFC 7440): blocks in flight before an acknowledgement;
// acknowledged as the smaller of the request and the server's cap.
constexpr const char* kWindowSizeOption = "windowsize";
constexpr int kMinWindowSize = 1;
constexpr int kMaxWindowRequest = 65535;
constexpr int kWindowSizeCap = 64;

// Mode texts, compared without regard to letter case.
constexpr const char* kModeOctet = "octet";
constexpr const char* kModeBinary = "binary";
constexpr const char* kModeNetAscii = "netascii";

// Session pacing: the wait for an answer and the sends of one packet.
constexpr int kAnswerWaitMs = 1500;
constexpr int kSendsPerPacket = 3;

constexpr const char* kUnknownTransferIdText = "Unknown transfer ID";

}  // namespace tftp
