#include "store/retention_filter.h"

#include <cstring>

namespace {

constexpr char kEndOfText = 0x1A;
// A first field longer than this is no date, whatever follows.
constexpr std::size_t kLongestDate = 32;

std::string_view WithoutCarriageReturn(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool EndsWithCrLf(std::string_view raw) { return raw.size() >= 2 && raw[raw.size() - 2] == '\r'; }

}  // namespace

RetentionFilter::RetentionFilter(const ShortDateFormat& format, int todayDayNumber, int currentYear,
                                 int retentionDays)
    : format_(format),
      today_(todayDayNumber),
      currentYear_(currentYear),
      retentionDays_(retentionDays) {}

void RetentionFilter::SetLongLines(std::size_t maxLineBytes, Reader reader) {
  maxLine_ = maxLineBytes;
  reader_ = std::move(reader);
}

void RetentionFilter::Feed(std::string_view chunk, std::string& out) {
  long long base = fed_;
  fed_ += static_cast<long long>(chunk.size());
  if (rawTail_) {
    out.append(chunk);
    return;
  }
  if (longLine_ != LongLine::kNone) {
    std::size_t used = ContinueLongLine(chunk, out);
    chunk.remove_prefix(used);
    base += static_cast<long long>(used);
  } else if (!partial_.empty()) {
    const void* end = std::memchr(chunk.data(), '\n', chunk.size());
    if (end == nullptr) {
      partial_.append(chunk);
      if (partial_.size() > maxLine_) PartialGrew(out);
      return;
    }
    std::size_t begin = static_cast<std::size_t>(static_cast<const char*>(end) - chunk.data()) + 1;
    partial_.append(chunk.substr(0, begin));
    std::string line = std::move(partial_);
    partial_.clear();
    TakeLine(WithoutCarriageReturn(std::string_view(line).substr(0, line.size() - 1)), line, out);
    SecureHeld();
    chunk.remove_prefix(begin);
    base += static_cast<long long>(begin);
  }
  if (!chunk.empty()) FeedLines(chunk, base, out);
}

// partial_ passed the bound: its first field decides, and the line goes on
// as a long line.
void RetentionFilter::PartialGrew(std::string& out) {
  std::string_view line = partial_;
  const bool firstFieldEnded = line.find(' ') != std::string_view::npos;
  if (!firstFieldEnded && line.front() != kEndOfText && line.size() <= kLongestDate) return;
  Verdict verdict = Judge(line);
  if (verdict == Verdict::EndOfText) {
    std::string raw = std::move(partial_);
    partial_.clear();
    return Apply(verdict, raw, raw, out);
  }
  longLineOffset_ = partialOffset_;
  longLineRaw_ = 0;
  carriageReturn_ = false;
  if (verdict == Verdict::Keep) {
    DropHeld();
    longLine_ = LongLine::kKept;
    StreamKept(line, out);
  } else {
    DropHeld();
    longLine_ = LongLine::kOld;
    longLineRaw_ = static_cast<long long>(line.size());
    carriageReturn_ = line.back() == '\r';
  }
  partial_.clear();
  partial_.shrink_to_fit();
}

// Bytes of a kept long line; a CR at their end waits, as it may end the line.
void RetentionFilter::StreamKept(std::string_view bytes, std::string& out) {
  if (bytes.empty()) return;
  if (carriageReturn_) out.push_back('\r');
  carriageReturn_ = bytes.back() == '\r';
  out.append(bytes.substr(0, bytes.size() - (carriageReturn_ ? 1 : 0)));
}

// The long line's bytes in chunk up to its end; returns how many were used.
std::size_t RetentionFilter::ContinueLongLine(std::string_view chunk, std::string& out) {
  const void* end = std::memchr(chunk.data(), '\n', chunk.size());
  std::size_t length = end == nullptr
                           ? chunk.size()
                           : static_cast<std::size_t>(static_cast<const char*>(end) - chunk.data());
  std::string_view part = chunk.substr(0, length);
  if (longLine_ == LongLine::kKept) {
    StreamKept(part, out);
  } else {
    longLineRaw_ += static_cast<long long>(length);
    if (length > 0) carriageReturn_ = part.back() == '\r';
  }
  if (end == nullptr) return chunk.size();
  EndLongLine(out);
  return length + 1;
}

// The long line ended (at LF, or with the file): a CR before the end is
// part of the line end.
void RetentionFilter::EndLongLine(std::string& out) {
  if (longLine_ == LongLine::kKept) {
    out.append("\r\n");
  } else {
    holding_ = true;
    heldInFile_ = true;
    heldLength_ = longLineRaw_ - (carriageReturn_ ? 1 : 0);
  }
  carriageReturn_ = false;
  longLine_ = LongLine::kNone;
}

// The complete lines of chunk; runs of kept lines that already end with
// CR LF are copied in one piece.
void RetentionFilter::FeedLines(std::string_view chunk, long long base, std::string& out) {
  std::size_t begin = 0;
  std::size_t runBegin = 0;
  std::size_t runEnd = 0;
  auto flushRun = [&] {
    out.append(chunk.substr(runBegin, runEnd - runBegin));
    runBegin = runEnd = 0;
  };
  while (begin < chunk.size() && !rawTail_) {
    const void* end = std::memchr(chunk.data() + begin, '\n', chunk.size() - begin);
    if (end == nullptr) break;
    std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(end) - chunk.data()) + 1;
    std::string_view raw = chunk.substr(begin, stop - begin);
    std::string_view line = WithoutCarriageReturn(raw.substr(0, raw.size() - 1));
    Verdict verdict = Judge(line);
    if (verdict == Verdict::Keep && EndsWithCrLf(raw)) {
      DropHeld();
      if (runEnd != begin) flushRun(), runBegin = begin;
      runEnd = stop;
    } else {
      flushRun();
      Apply(verdict, line, raw, out);
    }
    begin = stop;
  }
  flushRun();
  if (rawTail_) {
    out.append(chunk.substr(begin));
  } else if (begin < chunk.size()) {
    partial_.assign(chunk.substr(begin));
    partialOffset_ = base + static_cast<long long>(begin);
  }
  SecureHeld();
  if (partial_.size() > maxLine_) PartialGrew(out);
}

void RetentionFilter::Finish(std::string& out) {
  if (longLine_ != LongLine::kNone) EndLongLine(out);
  if (!partial_.empty() && !rawTail_) {
    std::string line = std::move(partial_);
    partial_.clear();
    TakeLine(WithoutCarriageReturn(line), line, out);
    SecureHeld();
  }
  if (!rawTail_) EmitHeld(out);
}

RetentionFilter::Verdict RetentionFilter::Judge(std::string_view line) {
  if (!line.empty() && line.front() == kEndOfText) return Verdict::EndOfText;
  return IsOld(line) ? Verdict::Old : Verdict::Keep;
}

// raw is the line with its line end as read; it is what a 0x1A line keeps.
void RetentionFilter::TakeLine(std::string_view line, std::string_view raw, std::string& out) {
  Apply(Judge(line), line, raw, out);
}

void RetentionFilter::Apply(Verdict verdict, std::string_view line, std::string_view raw,
                            std::string& out) {
  switch (verdict) {
    case Verdict::EndOfText:
      EmitHeld(out);  // the last line before the end of the text
      rawTail_ = true;
      out.append(raw);
      return;
    case Verdict::Old:
      Hold(line);
      return;
    case Verdict::Keep:
      DropHeld();
      out.append(line);
      out.append("\r\n");
      return;
  }
}

bool RetentionFilter::IsOld(std::string_view line) {
  // Lines come in runs of one date: try the date last read first.
  const std::size_t cached = cachedDateText_.size();
  if (cached > 0 && line.size() > cached && line[cached] == ' ' &&
      std::memcmp(line.data(), cachedDateText_.data(), cached) == 0) {
    return cachedIsOld_;
  }
  const void* blank = std::memchr(line.data(), ' ', line.size());
  if (blank == nullptr) return false;
  std::string_view dateText =
      line.substr(0, static_cast<std::size_t>(static_cast<const char*>(blank) - line.data()));
  if (dateText == cachedDateText_) return cachedIsOld_;
  std::optional<int> day = format_.TryParse(dateText, currentYear_);
  cachedDateText_.assign(dateText);
  cachedIsOld_ = day.has_value() && today_ - *day >= retentionDays_;
  return cachedIsOld_;
}

// The held line stays a view into the caller's bytes until they go away.
void RetentionFilter::Hold(std::string_view line) {
  DropHeld();
  heldInFile_ = false;
  heldView_ = line.data() != nullptr ? line : std::string_view("", 0);
  holding_ = true;
}

void RetentionFilter::SecureHeld() {
  if (holding_ && !heldInFile_ && heldView_.data() != nullptr) held_.assign(heldView_);
  heldView_ = {};
}

void RetentionFilter::DropHeld() {
  if (holding_) ++dropped_;
  holding_ = false;
  heldInFile_ = false;
  heldView_ = {};
}

void RetentionFilter::EmitHeld(std::string& out) {
  if (!holding_) return;
  if (heldView_.data() != nullptr) {
    out.append(heldView_);
  } else if (heldInFile_) {
    reader_(longLineOffset_, heldLength_, out);
  } else {
    out.append(held_);
  }
  out.append("\r\n");
  holding_ = false;
  heldInFile_ = false;
  heldView_ = {};
}
