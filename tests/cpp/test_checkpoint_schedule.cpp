#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "peltaro/score/checkpoint_schedule.hpp"

using peltaro::score::CheckpointPlan;
using peltaro::score::plan_checkpoints;
using peltaro::score::segments_run_again;
using peltaro::score::WayBackSchedule;

namespace {

// The least number of segments run again, by exhausting every place for the
// next state: walking back g segments from the state at the first with s
// places costs, when the next state is stored k segments on, k to get there,
// then the right part with one place fewer, then the left part. With no
// place, each segment is run from the first.
std::size_t least_run_again(std::size_t g, std::size_t s) {
  static std::vector<std::vector<std::size_t>> memo;
  constexpr std::size_t unknown = static_cast<std::size_t>(-1);
  if (g < memo.size() && s < memo[g].size() && memo[g][s] != unknown) return memo[g][s];
  std::size_t best = g * (g - 1) / 2;
  for (std::size_t k = 1; s > 0 && k < g; ++k) {
    best = std::min(best, k + least_run_again(g - k, s - 1) + least_run_again(k, s));
  }
  if (memo.size() <= g) memo.resize(g + 1);
  if (memo[g].size() <= s) memo[g].resize(s + 1, unknown);
  return memo[g][s] = best;
}

// Runs the schedule of `count` segments with `slots` places after a first
// pass that stored its states; checks that every action is possible when it
// comes and that every segment is walked back once, from the last; returns
// the segments run again, the first pass's apart.
std::size_t run(std::size_t count, std::size_t slots) {
  const auto first = WayBackSchedule::first_pass_states(count, slots);
  std::vector<std::size_t> held{0};
  held.insert(held.end(), first.begin(), first.end());
  WayBackSchedule schedule(count, slots, first, true);
  std::size_t cost = 0;
  std::size_t walked = count;
  std::size_t kept = count - 1;  // the segment whose values are at hand
  while (const auto a = schedule.next()) {
    if (a->kind == WayBackSchedule::Kind::Walk) {
      EXPECT_EQ(a->segment, kept);
      EXPECT_EQ(a->segment + 1, walked);
      walked = a->segment;
      continue;
    }
    EXPECT_EQ(a->from, held.back());
    switch (a->kind) {
      case WayBackSchedule::Kind::Store:
        EXPECT_GT(a->segment, a->from);
        EXPECT_LT(a->segment, walked);
        held.push_back(a->segment);
        EXPECT_LE(held.size(), slots + 1);
        cost += a->segment - a->from;
        break;
      case WayBackSchedule::Kind::Replay:
        EXPECT_EQ(a->segment + 1, walked);
        kept = a->segment;
        cost += a->segment + 1 - a->from;
        break;
      default:
        EXPECT_EQ(a->segment, walked);
        held.pop_back();
    }
  }
  EXPECT_EQ(walked, 0u);
  EXPECT_EQ(held.size(), 1u);
  return cost;
}

}  // namespace

TEST(WayBackSchedule, RunsAgainTheFewestSegments) {
  for (std::size_t count = 1; count <= 70; ++count) {
    for (std::size_t slots = 0; slots <= 6; ++slots) {
      SCOPED_TRACE(testing::Message() << count << " segments, " << slots << " slots");
      // The least cost counts the advances, the first pass's run to the last
      // segment among them, and no segment's own run, every one of which but
      // the last's is run here: count − 1 segments each way.
      const std::size_t least = least_run_again(count, slots);
      EXPECT_EQ(run(count, slots), least);
      EXPECT_EQ(segments_run_again(count, slots), least);
    }
  }
}

TEST(PlanCheckpoints, KeepsWithinTheBudgetAndRunsAgainTheLeast) {
  struct Case {
    std::size_t steps, per_step, state, budget;
  };
  const Case cases[] = {
      {1500, 1468, 539490, 1u << 20},  // a year's season of daily data
      {20000, 200, 10100, 1u << 20},   // a long series of a mid-sized system
      {1000, 6, 12, 300},              // a small system in a small budget
      {1000, 6, 12, 5},                // less than a step
      {50, 6, 12, 300},                // all of it fits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.steps << " steps in " << c.budget);
    const CheckpointPlan plan = plan_checkpoints(c.steps, c.per_step, c.state, c.budget);
    ASSERT_GE(plan.segment, 1u);
    if (c.steps * c.per_step <= c.budget) {
      EXPECT_EQ(plan.segment, c.steps);
      continue;
    }
    EXPECT_LE(plan.segment * c.per_step + plan.slots * c.state, std::max(c.budget, c.per_step));
    auto cost = [&](std::size_t segment, std::size_t slots) {
      return least_run_again((c.steps + segment - 1) / segment, slots) * segment;
    };
    for (std::size_t s = 0; s * c.state + c.per_step <= c.budget; ++s) {
      EXPECT_LE(cost(plan.segment, plan.slots), cost((c.budget - s * c.state) / c.per_step, s));
    }
  }
}
