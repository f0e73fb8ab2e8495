#include "peltaro/score/checkpoint_schedule.hpp"

#include <algorithm>

namespace peltaro::score {
namespace {

// β(s, r) = C(s + r, s), 0 for r < 0; in doubles, which hold it exactly as
// far as the schedules here read it (it only needs to pass a segment count).
double beta(std::size_t s, long r) {
  if (r < 0) return 0.0;
  double b = 1.0;
  for (long i = 1; i <= r; ++i) {
    const auto di = static_cast<double>(i);
    b = b * (static_cast<double>(s) + di) / di;
  }
  return b;
}

// The least r with β(s, r) ≥ g, with β formed as `beta` forms it.
long repetitions(std::size_t g, std::size_t s) {
  long r = 0;
  for (double b = 1.0; b < static_cast<double>(g);) {
    ++r;
    const auto dr = static_cast<double>(r);
    b = b * (static_cast<double>(s) + dr) / dr;
  }
  return r;
}

// Where to store the next state, counted from the top one, to walk back g > 1
// segments with `free` > 0 places: any split whose right part the remaining
// places walk back in r repetitions, and whose left part the same places walk
// back in r − 1, meets the bound; this one is the nearest such.
std::size_t split(std::size_t g, std::size_t free) {
  const std::size_t s = free + 1;
  const long r = repetitions(g, s);
  const double gd = static_cast<double>(g);
  const double at = std::max({gd - beta(s - 1, r), beta(s, r - 2), 1.0});
  return static_cast<std::size_t>(at);
}

}  // namespace

std::size_t segments_run_again(std::size_t segments, std::size_t slots) {
  if (segments <= 1) return 0;
  const std::size_t s = slots + 1;
  const long r = repetitions(segments, s);
  return static_cast<std::size_t>(r) * segments - static_cast<std::size_t>(beta(s + 1, r - 1));
}

CheckpointPlan plan_checkpoints(std::size_t steps, std::size_t per_step, std::size_t state_values,
                                std::size_t budget) {
  per_step = std::max<std::size_t>(per_step, 1);
  if (steps <= budget / per_step) return {std::max<std::size_t>(steps, 1), 0};
  auto count = [steps](std::size_t segment) { return (steps + segment - 1) / segment; };
  CheckpointPlan best{std::max<std::size_t>(budget / per_step, 1), 0};
  std::size_t best_cost = segments_run_again(count(best.segment), 0) * best.segment;
  // More slots shorten the segments. Every segment but the last is run
  // again at least once, which costs at least steps − segment: past the
  // point where that alone exceeds the best cost, no plan with more slots
  // can do better.
  state_values = std::max<std::size_t>(state_values, 1);
  for (std::size_t s = 1; s <= budget / state_values; ++s) {
    const std::size_t left = budget - s * state_values;
    if (left < per_step) break;
    const std::size_t segment = left / per_step;
    if (steps - segment > best_cost) break;
    const std::size_t cost = segments_run_again(count(segment), s) * segment;
    if (cost < best_cost) {
      best = {segment, s};
      best_cost = cost;
    }
  }
  return best;
}

WayBackSchedule::WayBackSchedule(std::size_t count, std::size_t slots,
                                 std::span<const std::size_t> held, bool last_kept)
    : free_(slots - held.size()), end_(count), end_kept_(last_kept && count > 0) {
  held_.reserve(slots + 1);
  held_.push_back(0);
  held_.insert(held_.end(), held.begin(), held.end());
}

std::optional<WayBackSchedule::Action> WayBackSchedule::next() {
  if (end_ == 0) return std::nullopt;
  const std::size_t top = held_.back();
  if (end_kept_ || replayed_) {
    end_kept_ = false;
    replayed_ = false;
    --end_;
    return Action{Kind::Walk, top, end_};
  }
  if (top == end_) {
    held_.pop_back();
    ++free_;
    return Action{Kind::Drop, top, top};
  }
  if (end_ - top > 1 && free_ > 0) {
    const std::size_t at = top + split(end_ - top, free_);
    held_.push_back(at);
    --free_;
    return Action{Kind::Store, top, at};
  }
  replayed_ = true;
  return Action{Kind::Replay, top, end_ - 1};
}

std::vector<std::size_t> WayBackSchedule::first_pass_states(std::size_t count, std::size_t slots) {
  WayBackSchedule schedule(count, slots, {}, false);
  std::vector<std::size_t> out;
  for (auto a = schedule.next(); a && a->kind == Kind::Store; a = schedule.next()) {
    out.push_back(a->segment);
  }
  return out;
}

}  // namespace peltaro::score
