#include "store/retention_filter.h"

#include <cstring>

namespace {

constexpr char kEndOfText = 0x1A;

std::string_view WithoutCarriageReturn(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

RetentionFilter::RetentionFilter(const ShortDateFormat& format, int todayDayNumber, int currentYear,
                                 int retentionDays)
    : format_(format), today_(todayDayNumber), currentYear_(currentYear), retentionDays_(retentionDays) {}

void RetentionFilter::Feed(std::string_view chunk, std::string& out) {
  if (rawTail_) {
    out.append(chunk);
    return;
  }
  std::size_t begin = 0;
  if (!partial_.empty()) {
    const void* end = std::memchr(chunk.data(), '\n', chunk.size());
    if (end == nullptr) {
      partial_.append(chunk);
      return;
    }
    begin = static_cast<std::size_t>(static_cast<const char*>(end) - chunk.data()) + 1;
    partial_.append(chunk.substr(0, begin));
    std::string line = std::move(partial_);
    partial_.clear();
    TakeLine(WithoutCarriageReturn(std::string_view(line).substr(0, line.size() - 1)), line, out);
  }
  while (begin < chunk.size()) {
    if (rawTail_) {
      out.append(chunk.substr(begin));
      return;
    }
    const void* end = std::memchr(chunk.data() + begin, '\n', chunk.size() - begin);
    if (end == nullptr) {
      partial_.assign(chunk.substr(begin));
      return;
    }
    std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(end) - chunk.data());
    TakeLine(WithoutCarriageReturn(chunk.substr(begin, stop - begin)), chunk.substr(begin, stop + 1 - begin), out);
    begin = stop + 1;
  }
}

void RetentionFilter::Finish(std::string& out) {
  if (!partial_.empty() && !rawTail_) {
    std::string line = std::move(partial_);
    partial_.clear();
    TakeLine(WithoutCarriageReturn(line), line, out);
  }
  if (holding_ && !rawTail_) {
    out.append(held_);
    out.append("\r\n");
    holding_ = false;
  }
}

// raw is the line with its line end as read; it is what a 0x1A line keeps.
void RetentionFilter::TakeLine(std::string_view line, std::string_view raw, std::string& out) {
  if (!line.empty() && line.front() == kEndOfText) {
    DropHeld();
    rawTail_ = true;
    out.append(raw);
    return;
  }
  if (IsOld(line)) {
    DropHeld();
    held_.assign(line);
    holding_ = true;
    return;
  }
  DropHeld();
  out.append(line);
  out.append("\r\n");
}

bool RetentionFilter::IsOld(std::string_view line) {
  std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return false;
  std::string_view dateText = line.substr(0, blank);
  if (dateText == cachedDateText_) return cachedIsOld_;
  std::optional<int> day = format_.TryParse(dateText, currentYear_);
  cachedDateText_.assign(dateText);
  cachedIsOld_ = day.has_value() && today_ - *day >= retentionDays_;
  return cachedIsOld_;
}

void RetentionFilter::DropHeld() {
  if (holding_) ++dropped_;
  holding_ = false;
}
