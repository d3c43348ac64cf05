#include "app/restart_spacing.h"

#include <utility>

bool RestartSpacing::ErrorMayRestart(Clock::time_point now) {
  if (last_ && now - *last_ < kSpacing) return false;
  last_ = now;
  return true;
}

bool RestartSpacing::FirstHeldBack() { return !std::exchange(reported_, true); }
