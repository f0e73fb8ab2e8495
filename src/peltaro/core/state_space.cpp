#include "peltaro/core/state_space.hpp"

#include <algorithm>

#include "peltaro/core/polynomial.hpp"

namespace peltaro::core {

Result<StateSpace> StateSpace::create(const SarimaxConfig& config, const SarimaxParams& params,
                                      std::span<const double> y, const Columns* exog) {
  const SarimaxOrder& o = config.order;
  const std::size_t n = y.size();
  if (o.D >= 2) {
    return fail(SarimaxError::state_space_construction(
        "Seasonal differencing D > 1 is not yet supported"));
  }
  if (o.D == 1 && o.s < 2) {
    return fail(SarimaxError::state_space_construction(
        "Seasonal differencing D=" + std::to_string(o.D) +
        " requires seasonal period s >= 2, got s=" + std::to_string(o.s)));
  }
  if (exog != nullptr) {
    for (std::size_t j = 0; j < exog->size(); ++j) {
      const std::size_t rows = (*exog)[j].size();
      if (rows != n) {
        return fail(SarimaxError::data_error("exog column " + std::to_string(j) + " has " +
                                             std::to_string(rows) + " rows but y has " +
                                             std::to_string(n) + " observations"));
      }
    }
  }

  const std::size_t d = config.simple_differencing ? 0 : o.d;
  const bool seasonal_diff = !config.simple_differencing && o.D == 1;
  const std::size_t s = o.s;
  const std::size_t k_diff = config.k_diff();
  const std::size_t k_arma = config.k_arma();
  const std::size_t k = k_diff + k_arma;

  StateSpace ss;
  ss.k_states = k;
  ss.k_diff = k_diff;
  ss.k_posdef = 1;
  Eigen::MatrixXd& T = ss.transition;
  T.setZero(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(k));
  if (k_diff > 0) {
    for (std::size_t j = 0; j < d; ++j)
      for (std::size_t i = 0; i <= j; ++i) T(i, j) = 1.0;
    if (seasonal_diff) {
      const std::size_t b = d;
      T(b, b + s - 1) = 1.0;
      for (std::size_t u = 0; u + 2 <= s; ++u) T(b + 1 + u, b + u) = 1.0;
      for (std::size_t i = 0; i < d; ++i) T(i, d + s - 1) = 1.0;
      T(d, k_diff) = 1.0;
    }
    for (std::size_t i = 0; i < d; ++i) T(i, k_diff) = 1.0;
  }
  const Vec a = reduced_ar(params, config);
  for (std::size_t i = 1; i <= k_arma && i < a.size(); ++i) T(k_diff + i - 1, k_diff) = -a[i];
  for (std::size_t u = 0; u + 2 <= k_arma; ++u) T(k_diff + u, k_diff + u + 1) = 1.0;

  ss.design.setZero(static_cast<Eigen::Index>(k));
  if (k_diff > 0) {
    for (std::size_t i = 0; i < d; ++i) ss.design(i) = 1.0;
    if (seasonal_diff) ss.design(d + s - 1) = 1.0;
  }
  ss.design(k_diff) = 1.0;

  ss.selection.setZero(static_cast<Eigen::Index>(k), 1);
  ss.selection(k_diff, 0) = 1.0;
  const Vec m = reduced_ma(params, config);
  for (std::size_t i = 1; i < k_arma && i < m.size(); ++i) ss.selection(k_diff + i, 0) = m[i];

  ss.state_cov.resize(1, 1);
  ss.state_cov(0, 0) = (!config.concentrate_scale && params.sigma2) ? *params.sigma2 : 1.0;

  ss.obs_intercept = build_obs_intercept(n, exog, params.exog);
  ss.state_intercept = build_state_intercept(n, config.trend, params.trend);
  return ss;
}

// Without a regression there is nothing to hold: readers take d_t = 0 past
// the end, and a series of n values does not bring n zeros with it.
Vec StateSpace::build_obs_intercept(std::size_t n, const Columns* exog,
                                    std::span<const double> beta) {
  if (exog == nullptr || beta.empty()) return {};
  Vec out(n, 0.0);
  const std::size_t J = std::min(beta.size(), exog->size());
  for (std::size_t j = 0; j < J; ++j) {
    // Columns shorter than the series cannot be summed over every t.
    if ((*exog)[j].size() < n) throw std::logic_error("regressor column shorter than the series");
  }
  for (std::size_t t = 0; t < n; ++t) {
    double acc = -0.0;
    for (std::size_t j = 0; j < J; ++j) {
      const double prod = beta[j] * (*exog)[j][t];
      acc = acc + prod;
    }
    out[t] = acc;
  }
  return out;
}

// Only row k_diff of c_t can be non-zero, so the trend is kept as one value
// per time: a model of k states over n observations does not carry k·n
// zeros through every call.
Vec StateSpace::build_state_intercept(std::size_t n, Trend trend, std::span<const double> b) {
  if (trend == Trend::None || b.empty()) return {};
  Vec out(n);
  for (std::size_t t = 0; t < n; ++t) out[t] = trend_value(trend, b, static_cast<double>(t));
  return out;
}

double trend_value(Trend trend, std::span<const double> b, double t) {
  switch (trend) {
    case Trend::Constant:
      return b[0];
    case Trend::Linear:
      return b[0] * t;
    case Trend::ConstantLinear: {
      if (b.size() < 2) return b[0];
      const double prod = b[1] * t;
      return b[0] + prod;
    }
    case Trend::None:
      break;
  }
  return 0.0;
}

}  // namespace peltaro::core
