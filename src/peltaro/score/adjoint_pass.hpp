#pragma once
// The summed score in reverse mode: the filter run once forward, keeping per
// step only what the way back needs (P·Z, 1/F, the innovation and, for the
// coefficients that move T, one column of T·P), then the adjoints of the
// predicted mean and covariance carried back to the start.
//
// The tangent-linear pass carries one covariance derivative per parameter
// and costs about one covariance prediction per parameter and step; the way
// back carries a single covariance adjoint, whatever the number of
// parameters. Its forward half is the filter itself, followed step by step,
// so it has the filter's arithmetic, switch step and log-likelihood sums,
// and its gradient is that of the same likelihood.
//
// The way back needs the vectors of every step before the switch to steady
// mode: for a series that never settles, at length and size, more than a
// fixed budget holds. They are then kept one segment of steps at a time
// (see checkpoint_schedule.hpp): the first pass keeps the last segment's
// and, at the starts of a few segments, the filter's predicted mean and
// covariance; the way back runs each other segment again from the nearest
// of those before it. A segment run again is the filter itself taken up at
// that state, so its steps are the first pass's bit for bit, and the
// gradient does not depend on the budget.

#include <Eigen/Dense>
#include <span>
#include <vector>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/types.hpp"
#include "peltaro/score/checkpoint_schedule.hpp"
#include "peltaro/score/system_derivatives.hpp"
#include "peltaro/score/tangent_linear_pass.hpp"

namespace peltaro::score {

// Values kept for the way back (a segment's vectors and the stored states),
// at most: 8 MiB.
inline constexpr std::size_t ADJOINT_BUDGET = std::size_t{1} << 20;

class AdjointPass : private core::FilterObserver {
 public:
  // `system` must be made from `ss`, and both must outlive the pass; sizes
  // are the caller's to check, as for `tlkf_pass`. `budget` counts values
  // (doubles); one step's are kept whatever it is.
  AdjointPass(std::span<const double> y, const core::StateSpace& ss, const core::KalmanInit& init,
              const SystemDerivatives& derivs, const core::FilterSystem& system,
              std::size_t budget = ADJOINT_BUDGET);

  // The filter forward, keeping what the way back starts from.
  void run_forward();

  // The forward half's sums, as the tangent-linear pass returns them.
  [[nodiscard]] const TlkfResult& sums() const { return sums_; }

  // The way back: the gradient of the log-likelihood at scale s2 (1, or the
  // concentrated scale), in the order of the parameters.
  [[nodiscard]] Vec gradient(double s2);

  // How the steps were cut, the steps run again by the way backs so far, and
  // the values held for them (a segment's vectors and the stored states).
  [[nodiscard]] const CheckpointPlan& plan() const { return plan_; }
  [[nodiscard]] std::size_t steps_run_again() const { return run_again_; }
  [[nodiscard]] std::size_t values_held() const;

 private:
  using StepKind = core::StepKind;
  class WayBack;

  // The filter's steps, as they pass the first time and when run again.
  bool step(const core::FilterStep& step) override;
  void note(const core::FilterStep& step);
  void keep(const core::FilterStep& step);
  void hold(const core::FilterStep& step, std::size_t segment);
  // The filter again from the state held at segment `from` (0: the initial
  // one), up to step `stop`, keeping the state at `capture` and the values
  // of the steps from `keep_from` on.
  void run_again(std::size_t from, std::size_t stop, std::size_t capture, std::size_t keep_from);

  std::span<const double> y_;
  const core::StateSpace& ss_;
  const core::KalmanInit& init_;
  const SystemDerivatives& derivs_;
  const core::FilterSystem& system_;
  std::size_t n_, m_, k_, burn_, budget_;

  // The distinct columns of T that some parameter moves, and where each sits
  // among them (npos: none).
  std::vector<std::size_t> columns_, slot_;

  // Per step, from the first pass.
  std::vector<StepKind> kind_;
  Vec v_, finv_;
  Vec mean_columns_;  // the filtered mean at `columns_`
  Eigen::VectorXd frozen_pz_;
  TlkfResult sums_;

  CheckpointPlan plan_;
  // The kept values of one segment's non-steady steps in time order: P·Z
  // (update steps), then T times the columns of the covariance the
  // prediction starts from.
  Vec tape_;
  std::size_t taped_;  // the segment they belong to
  // The stored states, a stack: `held_` the segments, `states_` their
  // storage (kept for reuse when a state is dropped).
  std::vector<std::size_t> held_;
  struct HeldState {
    Eigen::VectorXd mean;
    core::StateCovariance cov;
    std::size_t t = 0;
  };
  std::vector<HeldState> states_;
  Eigen::VectorXd column_;

  // What the steps now passing are for.
  bool first_pass_ = false;
  std::vector<std::size_t> captures_;  // segments whose states to store, ascending
  std::size_t next_capture_ = 0;
  std::size_t stop_ = 0;
  std::size_t keep_from_ = 0;
  std::size_t run_again_ = 0;
};

}  // namespace peltaro::score
