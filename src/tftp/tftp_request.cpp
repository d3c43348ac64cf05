#include "tftp/tftp_request.h"

#include <cctype>

#include "tftp/tftp_exceptions.h"
#include "tftp/tftp_protocol.h"

namespace {

bool SameTextIgnoringCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return i == a.size() && b[i] == '\0';
}

// The text before the next zero byte; rest keeps what follows that byte.
std::string TakeField(std::string_view& rest) {
  size_t zero = rest.find('\0');
  std::string field(rest.substr(0, zero));
  rest = zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1);
  return field;
}

}  // namespace

std::string UnexpectedOperationText(const std::string& host, int port) {
  return "Unexpected operation from " + host + ":" + std::to_string(port);
}

TransferMode ParseTransferMode(const std::string& text) {
  if (SameTextIgnoringCase(text, tftp::kModeOctet) ||
      SameTextIgnoringCase(text, tftp::kModeBinary)) {
    return mdOctet;
  }
  if (SameTextIgnoringCase(text, tftp::kModeNetAscii)) return mdNetAscii;
  throw ENetTFTPIllegalOperation("Unsupported transfer mode: \"" + text + "\"");
}

TftpRequest ParseRequest(std::string_view datagram, const std::string& host, int port) {
  if (datagram.size() < tftp::kOpcodeSize) throw EReadError();
  TftpRequest request;
  request.Opcode = ReadWord(datagram, 0);
  if (request.Opcode != tftp::kReadRequest && request.Opcode != tftp::kWriteRequest) {
    throw ENetTFTPIllegalOperation(UnexpectedOperationText(host, port));
  }
  std::string_view rest = datagram.substr(tftp::kOpcodeSize);
  request.FileName = TakeField(rest);
  request.ModeText = TakeField(rest);
  while (!rest.empty()) {
    std::string name = TakeField(rest);
    if (rest.empty()) break;  // a name without a value
    request.Options.emplace_back(std::move(name), TakeField(rest));
  }
  return request;
}
