#include "tftp/answer_rate.h"

#include <algorithm>

// A full burst earns nothing while it waits: the interval runs from the
// first answer taken out of it.
bool AnswerRate::Allow(Clock::time_point now) {
  if (tokens_ >= burst_) {
    refilled_ = now;
  } else {
    const auto earned = (now - refilled_) / interval_;
    if (earned > 0) {
      tokens_ = static_cast<int>(std::min<decltype(earned)>(burst_, tokens_ + earned));
      refilled_ += earned * interval_;
    }
  }
  if (tokens_ == 0) return false;
  --tokens_;
  return true;
}
