// The line filter of the retention sweep for one log file, fed the file's
// bytes in chunks of any size and writing the bytes of the new content.
// A line ends at LF or CR LF and is written back with CR LF. A line is
// dropped only when the text before its first blank is a date in the short
// date format whose age (today minus that day) is at least the retention
// age, and another line follows it; every other line is kept (undated lines
// included). From a line that starts with 0x1A on, the bytes are copied
// unchanged. Holds at most one line and one partial line; not thread safe.
#pragma once

#include <string>
#include <string_view>

#include "store/short_date_format.h"

class RetentionFilter {
 public:
  RetentionFilter(const ShortDateFormat& format, int todayDayNumber, int currentYear, int retentionDays);

  // Appends to out what the lines completed by chunk leave.
  void Feed(std::string_view chunk, std::string& out);
  // Ends the file: a last line without a line end and a held old last line.
  void Finish(std::string& out);

  // Lines dropped so far.
  long long DroppedLines() const { return dropped_; }

 private:
  enum class Verdict { Keep, Old, EndOfText };
  Verdict Judge(std::string_view line);
  void TakeLine(std::string_view line, std::string_view raw, std::string& out);
  void Apply(Verdict verdict, std::string_view line, std::string_view raw, std::string& out);
  void FeedLines(std::string_view chunk, std::string& out);
  bool IsOld(std::string_view line);
  void Hold(std::string_view line);
  void SecureHeld();
  void DropHeld();

  const ShortDateFormat& format_;
  int today_;
  int currentYear_;
  int retentionDays_;
  bool rawTail_ = false;     // a line starting with 0x1A was met
  std::string partial_;      // a line whose end has not come yet
  std::string held_;         // an old line that is kept only if it is the last
  std::string_view heldView_;  // held line while it still lies in the chunk being fed
  bool holding_ = false;
  std::string cachedDateText_;  // the last date text read, and its result
  bool cachedIsOld_ = false;
  long long dropped_ = 0;
};
