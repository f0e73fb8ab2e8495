#pragma once
// The univariate Kalman filter and the exact (or concentrated) Gaussian
// log-likelihood of one series.

#include <Eigen/Dense>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "peltaro/core/error.hpp"
#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/state_covariance.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::core {

inline constexpr double LN_2PI = 1.8378770664093453;
// A step whose F is not positive is counted as if F were 1e10.
inline constexpr double SKIP_F = 1e10;
inline constexpr double LN_SKIP_F = 23.025850929940457;
// 1/F handed on for such a step.
inline constexpr double SKIP_FINV = 1e-10;

struct KalmanOutput {
  Vec innovations;
  double loglike = 0.0;
  double scale = 0.0;
  std::size_t n_eff = 0;
};

struct KalmanFilterOutput {
  Vec innovations;
  Vec f_values;
  // Of the last step; empty from a pass that stores no outputs.
  Eigen::VectorXd filtered_state;
  Eigen::MatrixXd filtered_cov;
  Eigen::VectorXd predicted_state;
  Eigen::MatrixXd predicted_cov;
  double loglike = 0.0;
  double scale = 0.0;
  std::size_t n_eff = 0;
  // First step run with the frozen covariance, when steady mode was reached.
  std::optional<std::size_t> steady_from;
};

struct StateSnapshot {
  Eigen::VectorXd state;
  Eigen::MatrixXd cov;
  std::size_t t = 0;
};

struct SnapshotRequest {
  std::span<const std::size_t> origins;
  std::vector<StateSnapshot>* out;
};

struct FilterSystem;

// How a step runs: updated by its observation, skipped (F not positive, or
// NaN), or with the covariance frozen at the steady-state switch.
enum class StepKind : std::uint8_t { Update, Skip, Steady };

// One step as the filter holds it before its update: what a pass that
// follows the filter (the score's passes, the batched filter) reads. `mean`
// and `cov` are the predicted mean and covariance of step t (cov not current
// in steady mode), `pz` is P·Z and `gain` T·P·Z (both frozen in steady mode;
// gain is read only there); `f` is F (frozen in steady mode; the F that was
// not positive, or NaN, for a skipped step), `finv` 1/F (SKIP_FINV for a
// skipped step), `ln_f` and `v2_f` the step's terms of the sums (ln_f is 0
// for an updated step before `burn`).
struct FilterStep {
  std::size_t t;
  StepKind kind;
  double v, f, finv, ln_f, v2_f;
  const Eigen::VectorXd& mean;
  const Eigen::VectorXd& pz;
  const Eigen::VectorXd& gain;
  const StateCovariance& cov;
};

class FilterObserver {
 public:
  virtual ~FilterObserver() = default;
  // False stops the pass, which then fails.
  virtual bool step(const FilterStep& step) = 0;
  // The covariance froze after the step before t: steps t on are steady
  // (t may be the series' length). Told even when the pass fails at its end.
  virtual void steady_from(std::size_t /*t*/) {}
};

// a ← the mean predicted for step s.t + 1 from the one predicted for s.t,
// with v the series' own innovation (the filter's is s.v): T·(a + P·Z·v/F) + c
// after an update, T·a + c + T·P·Z·(v/F) in steady mode, T·a + c for a
// skipped step. The filter's own arithmetic, so that any series that follows
// the filter's steps moves as the filter's own mean would. `scratch` takes the
// old mean; `intercept` and `row` as for FilterSystem::predict_state.
void advance_mean(const FilterSystem& sys, const FilterStep& s, double v, Eigen::VectorXd& a,
                  Eigen::VectorXd& scratch, std::span<const double> intercept, std::size_t row);

// The state intercept a pass over n observations adds: a trend built for
// another series length contributes nothing.
inline std::span<const double> state_intercept_for(const StateSpace& ss, std::size_t n) {
  return ss.state_intercept.size() == n ? std::span<const double>(ss.state_intercept)
                                        : std::span<const double>();
}

struct LoglikeValue {
  double loglike = 0.0;
  double scale = 0.0;
};

// The log-likelihood (exact, or with the scale concentrated out) and the
// scale from the filter's sums over the n_eff observations it counts,
// Σ ln F_t and Σ v_t²/F_t; fails on non-finite sums or results. Every pass
// that filters ends here, so that all return the same value.
Result<LoglikeValue> loglike_from_sums(double sum_ln_f, double sum_v2_f, std::size_t n_eff,
                                      bool concentrate_scale, double state_var);

Result<KalmanFilterOutput> kalman_core(std::span<const double> y, const StateSpace& ss,
                                       const KalmanInit& init, bool concentrate_scale,
                                       bool store_outputs,
                                       std::optional<SnapshotRequest> snapshots = std::nullopt);
// The same with the system's forms made beforehand (`sys` must be made from
// `ss`), for callers that filter one model many times; `observer`, when
// given, sees every step, and the output then holds no innovations.
Result<KalmanFilterOutput> kalman_core(std::span<const double> y, const StateSpace& ss,
                                       const KalmanInit& init, const FilterSystem& sys,
                                       bool concentrate_scale, bool store_outputs,
                                       std::optional<SnapshotRequest> snapshots = std::nullopt,
                                       FilterObserver* observer = nullptr);

// Where a pass is taken up again: step t, with the predicted mean and
// covariance that the pass held before it, as its observer was shown them
// (the covariance's storage whole: what the sparse forms leave of the upper
// triangle is read as it was).
struct FilterResume {
  std::size_t t;
  const Eigen::VectorXd& mean;
  const StateCovariance& cov;
};

// The steps from `from.t` on of a pass that `kalman_core` ran with an
// observer, the same inputs and neither stored outputs nor snapshots, run
// again for `observer` until it stops them: a pass that keeps what it needs of a few steps at a time runs a
// stretch again rather than keep it all. The steps take the arithmetic and
// the kinds they took then, bit for bit. The covariance is never frozen, so
// the stretch must end before the first pass's switch to steady mode.
void kalman_resume(std::span<const double> y, const StateSpace& ss, const KalmanInit& init,
                   const FilterSystem& sys, const FilterResume& from, FilterObserver& observer);

Result<KalmanOutput> kalman_loglike(std::span<const double> y, const StateSpace& ss,
                                    const KalmanInit& init, bool concentrate_scale);
Result<KalmanOutput> kalman_loglike(std::span<const double> y, const StateSpace& ss,
                                    const KalmanInit& init, const FilterSystem& sys,
                                    bool concentrate_scale);

Result<std::pair<KalmanFilterOutput, std::vector<StateSnapshot>>> kalman_filter_with_snapshots(
    std::span<const double> y, const StateSpace& ss, const KalmanInit& init, bool concentrate_scale,
    std::span<const std::size_t> origins);

}  // namespace peltaro::core
