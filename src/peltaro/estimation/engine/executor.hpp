#pragma once
// Runs any solver over any problem: initialise, then alternate the
// termination tests and one solver iteration. Every solver shares this loop,
// so iteration counting, the best-point rule and the order of the stopping
// tests are the same for all of them.

#include <optional>
#include <utility>

#include "peltaro/estimation/engine/iter_state.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::engine {

// `init` evaluates the start and sets `x` and `cost` (and `grad` if the
// solver keeps it); `next_iter` moves `x` and `cost` by one step; `terminate`
// is the solver's own convergence test. Errors are texts.
template <class S, class P>
concept Solver = requires(S& solver, const S& const_solver, const P& problem, IterState& state) {
  { solver.init(problem, state) } -> std::same_as<TextResult<void>>;
  { solver.next_iter(problem, state) } -> std::same_as<TextResult<void>>;
  { const_solver.terminate(std::as_const(state)) } -> std::same_as<bool>;
};

struct Outcome {
  IterState state;
  Termination reason;
};

// The solver's own test comes first, so a run whose test holds at the check
// where the iteration limit is reached counts as converged.
inline std::optional<Termination> stop_reason(bool solver_converged, const IterState& state) {
  if (solver_converged) return Termination::SolverConverged;
  if (state.iter >= state.max_iters) return Termination::MaxItersReached;
  if (state.best_cost <= state.target_cost) return Termination::TargetCostReached;
  return std::nullopt;
}

template <class P, Solver<P> S>
TextResult<Outcome> execute(const P& problem, S& solver, IterState state) {
  if (auto ready = solver.init(problem, state); !ready) return fail_text(std::move(ready.error()));
  state.best_x = state.x;
  state.best_cost = state.cost;
  for (;;) {
    if (const auto reason = stop_reason(solver.terminate(state), state)) {
      return Outcome{std::move(state), *reason};
    }
    state.prev_cost = state.cost;
    if (auto step = solver.next_iter(problem, state); !step) {
      if (!state.keep_best_on_failure) return fail_text(std::move(step.error()));
      return Outcome{std::move(state), Termination::StepFailed};
    }
    if (state.cost < state.best_cost) {
      *state.best_x = state.x;
      state.best_cost = state.cost;
    }
    ++state.iter;
  }
}

}  // namespace peltaro::estimation::engine
