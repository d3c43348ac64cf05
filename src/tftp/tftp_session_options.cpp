#include "tftp/tftp_session_options.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "base/exceptions.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The block size to confirm for a requested value, or 0 for none. A whole
// number too large for an int is above the maximum like any other.
int AgreedBlockSize(const std::string& value) {
  int requested = 0;
  try {
    requested = StrToInt(value);
  } catch (const EConvertError&) {
    const std::string_view digits = std::string_view(value).substr(value[0] == '+' ? 1 : 0);
    if (AllDigits(digits)) return tftp::kMaxBlockSize;
    if (value[0] == '-' && AllDigits(digits.substr(1))) return 0;
    throw;
  }
  if (requested < tftp::kMinBlockSize) return 0;
  return std::min(requested, tftp::kMaxBlockSize);
}

// A plain decimal number (digits only); kSizeBeyondCount when it has too many
// digits to count, -1 when it is no such number.
int64_t DecimalValue(const std::string& text) {
  if (!AllDigits(text)) return -1;
  const size_t first = std::min(text.find_first_not_of('0'), text.size());
  if (text.size() - first > 18) return SessionOptions::kSizeBeyondCount;
  return first == text.size() ? 0 : std::stoll(text.substr(first));
}

bool InRange(int64_t value, int64_t low, int64_t high) { return value >= low && value <= high; }

}  // namespace

void SessionOptions::SettleTransferSize(int64_t size) {
  if (sizeEntry_ < 0) return;
  if (size > 0) {
    Acknowledged[static_cast<size_t>(sizeEntry_)].second = std::to_string(size);
    return;
  }
  Acknowledged.erase(Acknowledged.begin() + sizeEntry_);
  sizeEntry_ = -1;
}

SessionOptions NegotiateOptions(const OptionList& requested, bool writeRequest) {
  SessionOptions options;
  std::vector<std::string> seen;
  for (const auto& [name, value] : requested) {
    const std::string key = Lower(name);
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
    seen.push_back(key);
    std::string agreed;
    if (key == tftp::kBlockSizeOption) {
      const int blockSize = AgreedBlockSize(value);
      if (blockSize == 0) continue;
      options.BlockSize = blockSize;
      agreed = std::to_string(blockSize);
    } else if (key == tftp::kTransferSizeOption) {
      const int64_t size = DecimalValue(value);
      if (writeRequest && size < 0) continue;
      options.AnnouncedSize = writeRequest ? size : SessionOptions::kNoSize;
      options.sizeEntry_ = static_cast<int>(options.Acknowledged.size());
      agreed = writeRequest ? value : "0";  // a read's size is settled later
    } else if (key == tftp::kTimeoutOption) {
      const int64_t seconds = DecimalValue(value);
      if (!InRange(seconds, tftp::kMinTimeoutSeconds, tftp::kMaxTimeoutSeconds)) continue;
      options.AnswerWaitMs = static_cast<int>(seconds) * 1000;
      options.ClientChoseWait = true;
      agreed = std::to_string(seconds);
    } else if (key == tftp::kWindowSizeOption) {
      const int64_t window = DecimalValue(value);
      if (!InRange(window, tftp::kMinWindowSize, tftp::kMaxWindowRequest)) continue;
      options.WindowSize = static_cast<int>(std::min<int64_t>(window, tftp::kWindowSizeCap));
      agreed = std::to_string(options.WindowSize);
    } else {
      continue;
    }
    options.Acknowledged.emplace_back(name, agreed);
  }
  return options;
}
