#include "tftp/tftp_session_options.h"

#include <algorithm>
#include <cctype>

#include "app/exceptions.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The block size to confirm for a requested value, or 0 for none.
int AgreedBlockSize(const std::string& value) {
  int requested = StrToInt(value);
  if (requested < tftp::kMinBlockSize) return 0;
  return std::min(requested, tftp::kMaxBlockSize);
}

}  // namespace

TSessionOptions NegotiateOptions(const TOptionList& requested) {
  TSessionOptions options;
  bool blockSizeSeen = false;
  for (const auto& [name, value] : requested) {
    if (Lower(name) != tftp::kBlockSizeOption || blockSizeSeen) continue;
    blockSizeSeen = true;
    int blockSize = AgreedBlockSize(value);
    if (blockSize == 0) continue;
    options.BlockSize = blockSize;
    options.Acknowledged.emplace_back(name, std::to_string(blockSize));
  }
  return options;
}
