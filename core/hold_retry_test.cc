#include "core/hold_retry.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace launcher {
namespace {

// A step that fails as held `held` times, then succeeds; counts its attempts.
struct HeldStep {
  int held;
  int attempts = 0;
  int operator()() {
    ++attempts;
    if (attempts <= held) throw ServiceError("Step", "x", "sharing violation", FailureCause::kHeld);
    return attempts;
  }
};

TEST(HoldRetry, WaitsLongerEachTimeWithinOneBoundedBudget) {
  const struct {
    int held;
    bool succeeds;
    std::vector<int> waits;
  } cases[] = {
      {0, true, {}},
      {1, true, {20}},
      {3, true, {20, 40, 80}},
      {7, true, {20, 40, 80, 160, 320, 640, 740}},  // the last wait is what the budget leaves
      {8, false, {20, 40, 80, 160, 320, 640, 740}},
      {1000, false, {20, 40, 80, 160, 320, 640, 740}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    std::vector<int> waits;
    HoldRetry retry([&waits](int ms) { waits.push_back(ms); });
    HeldStep step{c.held};
    if (c.succeeds) {
      EXPECT_EQ(retry.Run(step), c.held + 1);
    } else {
      EXPECT_THROW(retry.Run(step), ServiceError);
    }
    EXPECT_EQ(waits, c.waits);
    EXPECT_LE(std::accumulate(waits.begin(), waits.end(), 0), kHoldWaitBudgetMs);
    EXPECT_EQ(retry.waited_ms(), std::accumulate(waits.begin(), waits.end(), 0));
  }
}

TEST(HoldRetry, AnyOtherFailureIsThrownAtOnce) {
  int waits = 0;
  int attempts = 0;
  HoldRetry retry([&waits](int) { ++waits; });
  EXPECT_THROW(retry.Run([&] {
    ++attempts;
    throw ServiceError("Step", "x", "bad exe format");
  }),
               ServiceError);
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(waits, 0);
}

TEST(HoldRetry, RunsShareTheBudget) {
  int waited = 0;
  HoldRetry retry([&waited](int ms) { waited += ms; });
  EXPECT_THROW(retry.Run(HeldStep{1000}), ServiceError);
  HeldStep second{1000};
  EXPECT_THROW(retry.Run(second), ServiceError);
  EXPECT_EQ(second.attempts, 1) << "a spent budget allows no second try";
  EXPECT_EQ(waited, kHoldWaitBudgetMs);
}

}  // namespace
}  // namespace launcher
