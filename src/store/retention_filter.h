// The line filter of the retention sweep for one log file, fed the file's
// bytes in chunks of any size and writing the bytes of the new content.
// A line ends at LF or CR LF and is written back with CR LF. A line is
// dropped only when the text before its first blank is a date in the short
// date format whose age (today minus that day) is at least the retention
// age, and another line (not one starting with 0x1A) follows it; every other
// line is kept (undated lines included). From a line that starts with 0x1A
// on, the bytes are copied unchanged. Holds one line and one partial line;
// with SetLongLines, at most maxLineBytes of a line that has not ended: its
// first field decides its fate, the rest is streamed, and an old line that
// turns out to be the last is read back from the file. Not thread safe.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "store/short_date_format.h"

class RetentionFilter {
 public:
  RetentionFilter(const ShortDateFormat& format, int todayDayNumber, int currentYear,
                  int retentionDays);

  // Appends to out what the lines completed by chunk leave.
  void Feed(std::string_view chunk, std::string& out);
  // Ends the file: a last line without a line end and a held old last line.
  void Finish(std::string& out);

  // Appends the bytes [offset, offset + length) of the file being fed to
  // out; it may first write out's bytes to their destination and clear it.
  using Reader = std::function<void(long long offset, long long length, std::string& out)>;
  void SetLongLines(std::size_t maxLineBytes, Reader reader);

  // Lines dropped so far.
  long long DroppedLines() const { return dropped_; }

 private:
  enum class Verdict { Keep, Old, EndOfText };
  Verdict Judge(std::string_view line);
  void TakeLine(std::string_view line, std::string_view raw, std::string& out);
  void Apply(Verdict verdict, std::string_view line, std::string_view raw, std::string& out);
  void FeedLines(std::string_view chunk, long long base, std::string& out);
  bool IsOld(std::string_view line);
  void Hold(std::string_view line);
  void SecureHeld();
  void DropHeld();
  void EmitHeld(std::string& out);
  void PartialGrew(std::string& out);
  std::size_t ContinueLongLine(std::string_view chunk, std::string& out);
  void EndLongLine(std::string& out);
  void StreamKept(std::string_view bytes, std::string& out);

  const ShortDateFormat& format_;
  int today_;
  int currentYear_;
  int retentionDays_;
  bool rawTail_ = false;       // a line starting with 0x1A was met
  std::string partial_;        // a line whose end has not come yet
  std::string held_;           // an old line that is kept only if it is the last
  std::string_view heldView_;  // held line while it still lies in the chunk being fed
  bool holding_ = false;
  // A long line's state: streamed out (kept) or counted (old, read back by
  // reader_ if it is the last); its position, length and a CR not yet placed.
  enum class LongLine { kNone, kKept, kOld };
  LongLine longLine_ = LongLine::kNone;
  bool heldInFile_ = false;  // the held line is longLineOffset_/heldLength_ of the input
  long long longLineOffset_ = 0;
  long long longLineRaw_ = 0;
  long long heldLength_ = 0;
  bool carriageReturn_ = false;
  std::size_t maxLine_ = static_cast<std::size_t>(-1);
  Reader reader_;
  long long fed_ = 0;            // input bytes before the chunk being fed
  long long partialOffset_ = 0;  // input offset of partial_'s first byte
  std::string cachedDateText_;   // the last date text read, and its result
  bool cachedIsOld_ = false;
  long long dropped_ = 0;
};
