#include "link/limit_notice.h"

#include "base/failure_report.h"

void LimitNotice::Count(const std::string& line, Clock::time_point now) {
  ++unreported_;
  if (lastLine_ && now - *lastLine_ < kInterval) return;
  std::string count;
  if (unreported_ > 1)
    count = " (" + std::to_string(unreported_) + " closed like this since the last note)";
  WriteNoticeLine(line + count);
  lastLine_ = now;
  unreported_ = 0;
}
