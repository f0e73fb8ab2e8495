#pragma once
// The state one optimisation run carries from iteration to iteration.

#include <Eigen/Core>
#include <cstdint>
#include <limits>
#include <optional>

namespace peltaro::estimation::engine {

struct IterState {
  Eigen::VectorXd x;       // current point; the start for solvers that take one
  double cost = std::numeric_limits<double>::infinity();       // cost at x
  double prev_cost = std::numeric_limits<double>::infinity();  // cost before the last iteration
  Eigen::VectorXd grad;    // gradient at x, kept by the gradient-based solvers

  // Replaced only by a strictly lower cost, so a run that wanders uphill
  // still reports the lowest point it saw.
  std::optional<Eigen::VectorXd> best_x;
  double best_cost = std::numeric_limits<double>::infinity();

  std::uint64_t iter = 0;  // completed iterations; initialisation is not one
  std::uint64_t max_iters = std::numeric_limits<std::uint64_t>::max();
  double target_cost = -std::numeric_limits<double>::infinity();
  // A step that fails ends the run with its best point instead of failing it.
  bool keep_best_on_failure = false;
};

// Why a run stopped, in the order the reasons are tested.
enum class Termination : std::uint8_t {
  SolverConverged,
  MaxItersReached,
  TargetCostReached,
  // Only with keep_best_on_failure: no lower point along the direction, as
  // near a stationary point as the routine can tell.
  StepFailed,
};

}  // namespace peltaro::estimation::engine
