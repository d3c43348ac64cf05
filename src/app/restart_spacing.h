// Spacing of the restarts that connection errors cause: within kSpacing of
// the last such restart (one of this instance's predecessor, handed over at
// its launch, included), a connection error does not restart the program.
// "ReBoot" is never held back. Main thread only.
#pragma once

#include <chrono>
#include <optional>

class RestartSpacing {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kSpacing{30};

  explicit RestartSpacing(std::optional<Clock::time_point> lastErrorRestart = std::nullopt)
      : last_(lastErrorRestart) {}

  // True when a connection error at now may restart the program; now is then
  // the last error restart.
  bool ErrorMayRestart(Clock::time_point now = Clock::now());
  // True for the first error held back only: that one is reported.
  bool FirstHeldBack();
  std::optional<Clock::time_point> LastErrorRestart() const { return last_; }

 private:
  std::optional<Clock::time_point> last_;
  bool reported_ = false;
};
