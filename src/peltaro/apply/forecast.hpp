#pragma once
// The one recursion every forecast of the module is made from: the state
// predicted at some time t0 carried forward `steps` times through the model's
// transition, with the regression effect of the future regressors and the
// trend added on the way.

#include <Eigen/Dense>
#include <cstddef>
#include <span>

#include "peltaro/core/error.hpp"
#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::apply::forecast {

// One entry per forecast step in each vector; step h forecasts time t0 + h.
struct ForecastResult {
  core::Vec mean;
  core::Vec variance;  // never negative
  core::Vec ci_lower;  // mean − q·sqrt(variance), q the normal quantile at 1 − alpha/2
  core::Vec ci_upper;  // mean + q·sqrt(variance)
};

// Standard normal quantile by Acklam's rational approximation (relative
// error below 1.2e-9), without a refinement step: −∞ at p ≤ 0, +∞ at p ≥ 1.
double z_score(double p);

// What forecasts from many states of one system share: the filter's forms of
// the system and the recursion's working storage, made once.
struct ForecastWorkspace {
  explicit ForecastWorkspace(const core::StateSpace& ss);

  core::FilterSystem sys;
  Eigen::VectorXd state, next, pz;
  core::StateCovariance cov;
  Eigen::MatrixXd work;
};

// `a` and `P` are the state predicted for time t0 and its covariance; they are
// copied, so a stored snapshot can serve any number of calls. Row h of future
// column j is regressor j at step h; `beta` are the regression coefficients.
// The trend of time t0 + h enters the state on the move from step h to
// h + 1, at row `ss.k_diff`. With the scale concentrated, `scale` multiplies
// every variance (otherwise Q already holds sigma2). `alpha` must lie in (0, 1).
// `workspace`, when given, is one made for `ss` by a caller that forecasts
// from many states of one system; otherwise one is made here.
core::Result<ForecastResult> forecast_from_state(const core::StateSpace& ss,
                                                 const Eigen::VectorXd& a,
                                                 const Eigen::MatrixXd& P, std::size_t steps,
                                                 const core::Columns* future_exog,
                                                 std::span<const double> beta, core::Trend trend,
                                                 bool concentrate_scale,
                                                 std::span<const double> trend_coefficients,
                                                 std::size_t t0, double scale, double alpha,
                                                 ForecastWorkspace* workspace = nullptr);

}  // namespace peltaro::apply::forecast
