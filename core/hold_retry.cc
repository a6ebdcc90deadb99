#include "core/hold_retry.h"

#include <algorithm>

namespace launcher {

bool HoldRetry::WaitOnce() {
  const int left = kHoldWaitBudgetMs - waited_ms_;
  if (left <= 0) return false;
  const int wait = std::min(next_wait_ms_, left);
  wait_(wait);
  waited_ms_ += wait;
  next_wait_ms_ *= 2;
  return true;
}

}  // namespace launcher
