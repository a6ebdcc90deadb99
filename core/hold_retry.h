#pragma once

#include <functional>
#include <utility>

#include "core/service_error.h"

namespace launcher {

// The first wait before trying a held file again; each later one doubles it.
inline constexpr int kFirstHoldWaitMs = 20;
// All the waits of one HoldRetry together never pass this: a hold that lasts longer ends the
// attempt as a failure, so the launcher never waits long.
inline constexpr int kHoldWaitBudgetMs = 2000;

// Tries a step again while it fails only because another process holds its file for a moment
// (FailureCause::kHeld), waiting longer each time, within one budget of kHoldWaitBudgetMs that
// every Run of this object shares. The waits are `wait`'s, so they cost nothing unless a step
// fails as held.
class HoldRetry {
 public:
  explicit HoldRetry(std::function<void(int milliseconds)> wait) : wait_(std::move(wait)) {}

  // What `step` returns. Throws on at once any failure not caused by a hold, and a held one once
  // the budget is spent.
  template <typename Step>
  auto Run(Step&& step) -> decltype(step()) {
    for (;;) {
      try {
        return step();
      } catch (const ServiceError& failure) {
        if (failure.cause() != FailureCause::kHeld || !WaitOnce()) throw;
      }
    }
  }

  // The milliseconds waited so far.
  int waited_ms() const { return waited_ms_; }

 private:
  // False, without waiting, once the budget is spent.
  bool WaitOnce();

  std::function<void(int)> wait_;
  int next_wait_ms_ = kFirstHoldWaitMs;
  int waited_ms_ = 0;
};

}  // namespace launcher
