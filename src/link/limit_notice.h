// Tells the operator about connections that a limit of the unit link closed
// (an address's share, the registration time), which a peer can cause at
// will: one line on standard error at the journal's notice level for the
// first, then at most one a minute, each with the count since the line before.
// Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class LimitNotice {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::minutes kInterval{1};

  // Counts one closing; line (what was closed and why) is written when a line is due.
  void Count(const std::string& line, Clock::time_point now = Clock::now());

 private:
  std::uint64_t unreported_ = 0;
  std::optional<Clock::time_point> lastLine_;
};
