// The reading of TFTP request datagrams and the option negotiation fed
// arbitrary datagrams. A request either fails with one of the program's
// exceptions or reads into fields that, written out again, read the same;
// the negotiated block size always lies within the protocol's limits.
#include <cstdint>
#include <string>
#include <string_view>

#include "app/exceptions.h"
#include "fuzz_support.h"
#include "tftp/tftp_protocol.h"
#include "tftp/tftp_request.h"
#include "tftp/tftp_session_options.h"

namespace {

std::string Written(const TTftpRequest& request) {
  std::string bytes{static_cast<char>(request.Opcode >> 8), static_cast<char>(request.Opcode & 0xff)};
  bytes.append(request.FileName).push_back('\0');
  bytes.append(request.ModeText).push_back('\0');
  for (const auto& [name, value] : request.Options) {
    bytes.append(name).push_back('\0');
    bytes.append(value).push_back('\0');
  }
  return bytes;
}

bool SameRequest(const TTftpRequest& a, const TTftpRequest& b) {
  return a.Opcode == b.Opcode && a.FileName == b.FileName && a.ModeText == b.ModeText && a.Options == b.Options;
}

void CheckFields(const TTftpRequest& request) {
  fuzz::Require(request.Opcode == tftp::kReadRequest || request.Opcode == tftp::kWriteRequest,
                "a request with another opcode was read");
  fuzz::Require(request.FileName.find('\0') == std::string::npos, "a zero byte inside the file name");
  fuzz::Require(request.ModeText.find('\0') == std::string::npos, "a zero byte inside the mode");
  for (const auto& [name, value] : request.Options) {
    fuzz::Require(name.find('\0') == std::string::npos && value.find('\0') == std::string::npos,
                  "a zero byte inside an option");
  }
  TTftpRequest again = ParseRequest(Written(request), "127.0.0.1", 1);
  fuzz::Require(SameRequest(request, again), "a request written out again reads differently");
}

void CheckNegotiation(const TTftpRequest& request) {
  TSessionOptions options = NegotiateOptions(request.Options);
  fuzz::Require(options.BlockSize >= tftp::kMinBlockSize && options.BlockSize <= tftp::kMaxBlockSize,
                "block size outside the limits", std::to_string(options.BlockSize));
  fuzz::Require(options.Acknowledged.size() <= 1, "more than one option acknowledged");
  if (options.Acknowledged.empty()) {
    fuzz::Require(options.BlockSize == tftp::kDefaultBlockSize, "a block size changed without an OACK");
  } else {
    fuzz::Require(options.Acknowledged[0].second == std::to_string(options.BlockSize),
                  "the OACK confirms another block size");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view datagram(reinterpret_cast<const char*>(data), size);
  TTftpRequest request;
  try {
    request = ParseRequest(datagram, "127.0.0.1", 1);
  } catch (const Exception&) {
    return 0;  // answered with an error packet
  }
  CheckFields(request);
  try {
    ParseTransferMode(request.ModeText);
  } catch (const Exception&) {
  }
  try {
    CheckNegotiation(request);
  } catch (const EConvertError&) {
    // a block size that is no number is answered with an error packet
  }
  return 0;
}
