// A bound on unsolicited answers (error packets to strangers): a burst of a
// few at once, then one per interval, however long the flood lasts. Not
// thread safe: each sender owns its own.
#pragma once

#include <chrono>

class AnswerRate {
 public:
  using Clock = std::chrono::steady_clock;

  AnswerRate(int burst, Clock::duration interval)
      : burst_(burst), tokens_(burst), interval_(interval) {}

  // Whether one more answer may leave at now; counts it when it may.
  bool Allow(Clock::time_point now = Clock::now());

 private:
  int burst_;
  int tokens_;  // answers that may leave at once
  Clock::duration interval_;
  Clock::time_point refilled_{};  // when the last token was earned (or the burst began)
};
