#include "peltaro/apply/forecast.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"

namespace peltaro::apply::forecast {

namespace {

using core::SarimaxError;

// Acklam's coefficients: central region (a, b) and tails (c, d).
constexpr double A1 = -3.969683028665376e+01, A2 = 2.209460984245205e+02,
                 A3 = -2.759285104469687e+02, A4 = 1.383577518672690e+02,
                 A5 = -3.066479806614716e+01, A6 = 2.506628277459239e+00;
constexpr double B1 = -5.447609879822406e+01, B2 = 1.615858368580409e+02,
                 B3 = -1.556989798598866e+02, B4 = 6.680131188771972e+01,
                 B5 = -1.328068155288572e+01;
constexpr double C1 = -7.784894002430293e-03, C2 = -3.223964580411365e-01,
                 C3 = -2.400758277161838e+00, C4 = -2.549732539343734e+00,
                 C5 = 4.374664141464968e+00, C6 = 2.938163982698783e+00;
constexpr double D1 = 7.784695709041462e-03, D2 = 3.224671290700398e-01,
                 D3 = 2.445134137142996e+00, D4 = 3.754408661907416e+00;
constexpr double P_LOW = 0.02425;
constexpr double P_HIGH = 1.0 - P_LOW;

// The lower-tail fraction in u = sqrt(−2 ln p).
double tail(double u) {
  const double num = ((((C1 * u + C2) * u + C3) * u + C4) * u + C5) * u + C6;
  const double den = (((D1 * u + D2) * u + D3) * u + D4) * u + 1.0;
  return num / den;
}

// The regressor checks, in the order callers rely on: a missing matrix, then
// the column count, then each column fully (length, then every value, rows
// past `steps` included) before the next.
std::optional<SarimaxError> check_future_exog(const core::Columns* future_exog,
                                              std::size_t n_exog, std::size_t steps) {
  if (n_exog > 0 && steps > 0 && future_exog == nullptr) {
    return SarimaxError::invalid_input(
        "model has exogenous variables: future_exog is required for forecasting");
  }
  if (future_exog == nullptr) return std::nullopt;
  if (future_exog->size() != n_exog) {
    return SarimaxError::invalid_input("future_exog column count mismatch: expected " +
                                       std::to_string(n_exog) + ", got " +
                                       std::to_string(future_exog->size()));
  }
  for (std::size_t j = 0; j < future_exog->size(); ++j) {
    const core::Vec& column = (*future_exog)[j];
    if (column.size() < steps) {
      return SarimaxError::invalid_input(
          "future_exog column " + std::to_string(j) + " has " + std::to_string(column.size()) +
          " rows but " + std::to_string(steps) + " forecast steps requested");
    }
    for (double x : column) {
      if (!std::isfinite(x)) {
        return SarimaxError::invalid_input("future_exog column " + std::to_string(j) +
                                           " contains NaN or Inf values");
      }
    }
  }
  return std::nullopt;
}

}  // namespace

ForecastWorkspace::ForecastWorkspace(const core::StateSpace& ss)
    : sys(ss),
      state(static_cast<Eigen::Index>(ss.k_states)),
      next(static_cast<Eigen::Index>(ss.k_states)),
      pz(static_cast<Eigen::Index>(ss.k_states)),
      cov(Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(ss.k_states),
                                static_cast<Eigen::Index>(ss.k_states))),
      work(static_cast<Eigen::Index>(ss.k_states), static_cast<Eigen::Index>(ss.k_states)) {}

double z_score(double p) {
  if (p <= 0.0) return -std::numeric_limits<double>::infinity();
  if (p >= 1.0) return std::numeric_limits<double>::infinity();
  if (std::fabs(p - 0.5) < 1e-15) return 0.0;
  if (p < P_LOW) return tail(std::sqrt(-2.0 * std::log(p)));
  if (p <= P_HIGH) {
    const double v = p - 0.5;
    const double r = v * v;
    const double num = ((((A1 * r + A2) * r + A3) * r + A4) * r + A5) * r + A6;
    const double den = ((((B1 * r + B2) * r + B3) * r + B4) * r + B5) * r + 1.0;
    return v * num / den;
  }
  return -tail(std::sqrt(-2.0 * std::log(1.0 - p)));
}

core::Result<ForecastResult> forecast_from_state(const core::StateSpace& ss,
                                                 const Eigen::VectorXd& a,
                                                 const Eigen::MatrixXd& P, std::size_t steps,
                                                 const core::Columns* future_exog,
                                                 std::span<const double> beta, core::Trend trend,
                                                 bool concentrate_scale,
                                                 std::span<const double> trend_coefficients,
                                                 std::size_t t0, double scale, double alpha,
                                                 ForecastWorkspace* workspace) {
  if (auto err = check_future_exog(future_exog, beta.size(), steps)) return core::fail(*err);
  ForecastResult out;
  if (steps == 0) return out;

  const std::size_t m = ss.k_states;
  const bool with_trend = trend != core::Trend::None && !trend_coefficients.empty();
  if (with_trend && ss.k_diff >= m) {
    return core::fail(SarimaxError::state_space_construction(
        "trend state index " + std::to_string(ss.k_diff) + " out of bounds (state dim=" +
        std::to_string(m) + ")"));
  }
  const auto mm = static_cast<Eigen::Index>(m);
  if (a.size() != mm || P.rows() != mm || P.cols() != mm) {
    throw std::logic_error("forecast_from_state: state and system do not match k_states");
  }

  const double q = z_score(1.0 - alpha / 2.0);
  const double c = concentrate_scale ? scale : 1.0;  // otherwise Q holds sigma2 already
  // The filter's own products: the forecast moves the state exactly as the
  // filter's prediction step does, sparse where the filter is.
  std::optional<ForecastWorkspace> own;
  ForecastWorkspace& w = workspace != nullptr ? *workspace : own.emplace(ss);
  const core::FilterSystem& sys = w.sys;
  w.state = a;  // copies into storage of the right size: no allocation
  w.cov.assign(P);
  Eigen::VectorXd& state = w.state;

  out.mean.resize(steps);
  out.variance.resize(steps);
  out.ci_lower.resize(steps);
  out.ci_upper.resize(steps);
  const std::size_t n_exog = future_exog != nullptr ? beta.size() : 0;
  for (std::size_t h = 0; h < steps; ++h) {
    double regression = -0.0;
    for (std::size_t j = 0; j < n_exog; ++j) regression += beta[j] * (*future_exog)[j][h];
    const double mean = core::sparse_dot(sys.sparse_z, state) + regression;
    const double raw = c * w.cov.times_z(sys.strategy, ss.design, sys.sparse_z, w.pz);
    const double variance = raw > 0.0 ? raw : 0.0;  // NaN and −0.0 give +0.0
    const double half_width = q * std::sqrt(variance);
    out.mean[h] = mean;
    out.variance[h] = variance;
    out.ci_lower[h] = mean - half_width;
    out.ci_upper[h] = mean + half_width;

    sys.predict_state(state, w.next, {}, 0, 0);
    state.swap(w.next);
    if (with_trend) {
      state[static_cast<Eigen::Index>(ss.k_diff)] +=
          core::trend_value(trend, trend_coefficients, static_cast<double>(t0 + h));
    }
    sys.predict_covariance_ahead(w.cov, w.work);
  }
  return out;
}

}  // namespace peltaro::apply::forecast
