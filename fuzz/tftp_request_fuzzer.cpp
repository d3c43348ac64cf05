// The reading of TFTP request datagrams and the option negotiation fed
// arbitrary datagrams. A request either fails with one of the program's
// exceptions or reads into fields that, written out again, read the same;
// the negotiated block size always lies within the protocol's limits.
#include <cctype>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "base/exceptions.h"
#include "fuzz_support.h"
#include "tftp/tftp_protocol.h"
#include "tftp/tftp_request.h"
#include "tftp/tftp_session_options.h"

namespace {

std::string Written(const TftpRequest& request) {
  std::string bytes{static_cast<char>(request.Opcode >> 8),
                    static_cast<char>(request.Opcode & 0xff)};
  bytes.append(request.FileName).push_back('\0');
  bytes.append(request.ModeText).push_back('\0');
  for (const auto& [name, value] : request.Options) {
    bytes.append(name).push_back('\0');
    bytes.append(value).push_back('\0');
  }
  return bytes;
}

bool SameRequest(const TftpRequest& a, const TftpRequest& b) {
  return a.Opcode == b.Opcode && a.FileName == b.FileName && a.ModeText == b.ModeText &&
         a.Options == b.Options;
}

void CheckFields(const TftpRequest& request) {
  fuzz::Require(request.Opcode == tftp::kReadRequest || request.Opcode == tftp::kWriteRequest,
                "a request with another opcode was read");
  fuzz::Require(request.FileName.find('\0') == std::string::npos,
                "a zero byte inside the file name");
  fuzz::Require(request.ModeText.find('\0') == std::string::npos, "a zero byte inside the mode");
  for (const auto& [name, value] : request.Options) {
    fuzz::Require(name.find('\0') == std::string::npos && value.find('\0') == std::string::npos,
                  "a zero byte inside an option");
  }
  TftpRequest again = ParseRequest(Written(request), "127.0.0.1", 1);
  fuzz::Require(SameRequest(request, again), "a request written out again reads differently");
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Every option acknowledged was asked for, once; the block size and window
// stay within their limits, and an acknowledged block size is the one used.
void CheckNegotiation(const TftpRequest& request) {
  SessionOptions options = NegotiateOptions(request.Options, request.Opcode == tftp::kWriteRequest);
  fuzz::Require(
      options.BlockSize >= tftp::kMinBlockSize && options.BlockSize <= tftp::kMaxBlockSize,
      "block size outside the limits", std::to_string(options.BlockSize));
  fuzz::Require(options.WindowSize >= 1 && options.WindowSize <= tftp::kWindowSizeCap,
                "window outside its limits");
  fuzz::Require(options.AnswerWaitMs > 0, "no wait for answers");
  std::set<std::string> seen;
  bool blockSizeAcknowledged = false;
  for (const auto& [name, value] : options.Acknowledged) {
    fuzz::Require(seen.insert(Lower(name)).second, "an option acknowledged twice", name);
    bool asked = false;
    for (const auto& requested : request.Options) asked = asked || requested.first == name;
    fuzz::Require(asked, "an option acknowledged that was not asked for", name);
    if (Lower(name) != tftp::kBlockSizeOption) continue;
    blockSizeAcknowledged = true;
    fuzz::Require(value == std::to_string(options.BlockSize),
                  "the OACK confirms another block size", value);
  }
  if (!blockSizeAcknowledged) {
    fuzz::Require(options.BlockSize == tftp::kDefaultBlockSize,
                  "a block size changed without an OACK");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view datagram(reinterpret_cast<const char*>(data), size);
  TftpRequest request;
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
