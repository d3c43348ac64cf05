// Reading a request datagram (RRQ/WRQ) into its file name, mode and options.
// Stateless; thread safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tftp/tftp_packets.h"

enum TransferMode { mdNetAscii = 0, mdOctet = 1 };

struct TftpRequest {
  uint16_t Opcode = 0;
  std::string FileName;
  std::string ModeText;
  OptionList Options;  // in the order sent, names as spelled by the client
};

// "octet" and "binary" give mdOctet, "netascii" mdNetAscii (any letter case);
// anything else raises ENetTFTPIllegalOperation "Unsupported transfer mode: "<mode>"".
TransferMode ParseTransferMode(const std::string& text);

// Splits a request. A datagram shorter than its opcode raises EReadError; an
// opcode other than RRQ/WRQ raises ENetTFTPIllegalOperation
// "Unexpected operation from <host>:<port>". A field without its zero byte
// takes the rest; an option name without a value is dropped.
TftpRequest ParseRequest(std::string_view datagram, const std::string& host, int port);

// "Unexpected operation from <host>:<port>".
std::string UnexpectedOperationText(const std::string& host, int port);
