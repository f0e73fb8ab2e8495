#pragma once
// How a reverse pass over a long recursion keeps its memory within a budget:
// the steps are cut into segments, of which it keeps the values of one at a
// time, and the recursion's state (the filter's predicted mean and
// covariance) is kept at the starts of a few segments, from which the others
// are run again when the way back reaches them.
//
// With s places for states beside the initial one, walking back g segments
// costs at least T(g, s + 1) segments run again, where, with
// β(s, r) = C(s + r, s) and r the least number with β(s, r) ≥ g,
//   T(g, s) = r·g − β(s + 1, r − 1),
// and the schedule below meets that bound: each state is stored at the
// binomial split, and the first pass, which runs through to the last
// segment anyway, stores the first ones on its way and keeps the last
// segment's values. (Griewank, "Achieving logarithmic growth of temporal and
// spatial complexity in reverse automatic differentiation", 1992.)

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace peltaro::score {

struct CheckpointPlan {
  std::size_t segment = 1;  // steps per segment
  std::size_t slots = 0;    // states that may be kept beside the initial one
};

// The plan for `steps` steps of at most `per_step` values each and states of
// `state_values` values, keeping at most `budget` values (but always one
// step's): one segment when all steps fit; otherwise, of the numbers of slots
// that fit, the one whose segments cost the fewest steps run again (the
// fewest slots among equals).
CheckpointPlan plan_checkpoints(std::size_t steps, std::size_t per_step, std::size_t state_values,
                                std::size_t budget);

// T(segments, slots + 1): the segments run again to walk back `segments`
// segments from the state at the first, with `slots` free places, not
// counting the first pass.
std::size_t segments_run_again(std::size_t segments, std::size_t slots);

// The order of the way back over segments [0, count). The state at segment 0
// (the initial one) is always at hand; the others are held on a stack, the
// latest on top, so the actions always start from the top state.
class WayBackSchedule {
 public:
  enum class Kind {
    Store,   // run from the state at `from` to the start of `segment`, and keep the state there
    Replay,  // run from the state at `from` through `segment`, keeping that segment's values
    Walk,    // walk back through the kept values of `segment`
    Drop,    // the state at `segment` is not needed any more
  };
  struct Action {
    Kind kind;
    std::size_t from;
    std::size_t segment;
  };

  // `held`: the segments whose states are kept already (ascending, at most
  // `slots`); `last_kept`: whether the values of segment count − 1 are.
  WayBackSchedule(std::size_t count, std::size_t slots, std::span<const std::size_t> held,
                  bool last_kept);

  // The next action; none once segment 0 has been walked back.
  std::optional<Action> next();

  // The states a first pass stores on its way to the last segment: the
  // schedule's first Store actions, which then find them held.
  static std::vector<std::size_t> first_pass_states(std::size_t count, std::size_t slots);

 private:
  std::vector<std::size_t> held_;  // the stack, with segment 0 at the bottom
  std::size_t free_;
  std::size_t end_;  // segments [end_, count) are walked back
  bool end_kept_;
  bool replayed_ = false;  // segment end_ − 1's values were just made
};

}  // namespace peltaro::score
