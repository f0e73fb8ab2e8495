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
// The way back needs the non-steady steps' vectors: where they would pass a
// fixed budget (a series that never settles, at length and size), the pass
// gives up and the caller takes the tangent-linear pass, whose memory does
// not grow with the series.

#include <Eigen/Dense>
#include <span>
#include <vector>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/types.hpp"
#include "peltaro/score/system_derivatives.hpp"
#include "peltaro/score/tangent_linear_pass.hpp"

namespace peltaro::score {

// Values kept for the non-steady steps, at most: 8 MiB.
inline constexpr std::size_t ADJOINT_BUDGET = std::size_t{1} << 20;

class AdjointPass : private core::FilterObserver {
 public:
  // `system` must be made from `ss`, and both must outlive the pass; sizes
  // are the caller's to check, as for `tlkf_pass`.
  AdjointPass(std::span<const double> y, const core::StateSpace& ss, const core::KalmanInit& init,
              const SystemDerivatives& derivs, const core::FilterSystem& system);

  // The filter forward, keeping what the way back needs; false (and nothing
  // kept) when that would pass `budget` values.
  bool run_forward(std::size_t budget = ADJOINT_BUDGET);

  // The forward half's sums, as the tangent-linear pass returns them.
  [[nodiscard]] const TlkfResult& sums() const { return sums_; }

  // The way back: the gradient of the log-likelihood at scale s2 (1, or the
  // concentrated scale), in the order of the parameters.
  [[nodiscard]] Vec gradient(double s2) const;

 private:
  using StepKind = core::StepKind;

  // The filter's steps, kept as they pass.
  bool step(const core::FilterStep& step) override;
  std::size_t budget_ = 0;
  std::size_t seen_ = 0;
  Eigen::VectorXd column_;

  std::span<const double> y_;
  const core::StateSpace& ss_;
  const core::KalmanInit& init_;
  const SystemDerivatives& derivs_;
  const core::FilterSystem& system_;
  std::size_t n_, m_, k_, burn_;

  // The distinct columns of T that some parameter moves, and where each sits
  // among them (npos: none).
  std::vector<std::size_t> columns_, slot_;

  std::vector<StepKind> kind_;
  Vec v_, finv_;
  Vec mean_columns_;  // per step: the filtered mean at `columns_`
  // Per non-steady step in time order: P·Z (update steps), then T times the
  // columns of the covariance the prediction starts from.
  Vec kept_;
  Eigen::VectorXd frozen_pz_;
  TlkfResult sums_;
};

}  // namespace peltaro::score
