#pragma once
// The time-invariant state-space form of one SARIMAX model for one series
// length. Regression effect and trend stay out of the state: they are the
// observation and state intercepts.
//
//   y_t       = Z·α_t + d_t                (no observation noise)
//   α_(t+1)   = T·α_t + c_t + R·η_t,  Var η_t = Q

#include <Eigen/Dense>
#include <span>

#include "peltaro/core/error.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::core {

struct StateSpace {
  Eigen::MatrixXd transition;  // T, k × k
  Eigen::VectorXd design;      // Z, k
  Eigen::MatrixXd selection;   // R, k × 1
  Eigen::MatrixXd state_cov;   // Q, 1 × 1
  Vec obs_intercept;           // d_t, n values; empty without regression coefficients
  Vec state_intercept;         // c_t: the trend, entering the state at row k_diff; n values,
                               // empty without a trend
  std::size_t k_states = 0;
  std::size_t k_diff = 0;
  std::size_t k_posdef = 1;

  // `y` is read for its length only; `exog` may be null (no columns).
  static Result<StateSpace> create(const SarimaxConfig& config, const SarimaxParams& params,
                                   std::span<const double> y, const Columns* exog);

  static Vec build_state_intercept(std::size_t n, Trend trend, std::span<const double> b);
  static Vec build_obs_intercept(std::size_t n, const Columns* exog, std::span<const double> beta);
};

// The trend term of time t from non-empty coefficients b: b0 (constant), b0·t
// (linear), b0 + b1·t (both; b0 alone when only one coefficient is given),
// 0 without a trend. Shared by the filter's state intercept and the forecasts,
// so a trend continues out of sample exactly as it ran in sample.
double trend_value(Trend trend, std::span<const double> b, double t);

}  // namespace peltaro::core
