#include "peltaro/score/score.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/score/adjoint_pass.hpp"
#include "peltaro/score/system_derivatives.hpp"

namespace peltaro::score {
namespace {

using core::SarimaxError;

std::string num(std::size_t x) { return std::to_string(x); }

std::optional<SarimaxError> too_few_observations(std::size_t n, std::size_t burn) {
  if (n > burn) return std::nullopt;
  return core::not_enough_observations(n, burn);
}

// Inputs a caller can get wrong and that the derivative bookkeeping would
// otherwise index past: a system, an initial state or regressor columns that
// were not built for this configuration and series.
std::optional<SarimaxError> check_inputs(std::size_t n, const core::StateSpace& ss,
                                         const core::KalmanInit& init,
                                         const core::SarimaxConfig& config,
                                         const core::Columns* exog) {
  const std::size_t m = ss.k_states;
  const std::size_t expected = config.k_diff() + config.k_arma();
  if (m != expected) {
    return SarimaxError::invalid_input("state space has " + num(m) +
                                       " states but the configuration gives " + num(expected));
  }
  if (auto why = core::size_mismatch(ss, init)) return SarimaxError::invalid_input(*why);
  // The intercepts are per time, or absent; a system built for another
  // length is one whose intercepts have another.
  const auto fits = [n](const Vec& v) { return v.empty() || v.size() == n; };
  if (!fits(ss.obs_intercept) || !fits(ss.state_intercept)) {
    const std::size_t built =
        fits(ss.obs_intercept) ? ss.state_intercept.size() : ss.obs_intercept.size();
    return SarimaxError::invalid_input("state space was built for " + num(built) +
                                       " observations but y has " + num(n));
  }
  const core::SarimaxOrder& o = config.order;
  if ((o.P > 0 || o.Q > 0) && o.s == 0) {
    return SarimaxError::invalid_input("seasonal coefficients need a seasonal period s >= 1, got s=0");
  }
  if (exog != nullptr && config.n_exog > 0) {
    if (exog->size() < config.n_exog) {
      return SarimaxError::invalid_input("exog has " + num(exog->size()) +
                                         " columns but the model has n_exog=" +
                                         num(config.n_exog));
    }
    for (std::size_t j = 0; j < config.n_exog; ++j) {
      const std::size_t rows = (*exog)[j].size();
      if (rows != n) {
        return SarimaxError::data_error("exog column " + num(j) + " has " + num(rows) +
                                        " rows but y has " + num(n) + " observations");
      }
    }
  }
  return std::nullopt;
}

std::optional<SarimaxError> check_all(std::size_t n, const core::StateSpace& ss,
                                      const core::KalmanInit& init,
                                      const core::SarimaxConfig& config, const core::Columns* exog) {
  if (auto e = too_few_observations(n, init.burn)) return e;
  return check_inputs(n, ss, init, config, exog);
}

// σ² of the gradient formula: 1 with the full likelihood, the concentrated
// scale otherwise. A NaN scale passes, so NaN data gives NaN scores.
core::Result<double> gradient_scale(bool concentrate_scale, double sumsq, std::size_t n_eff,
                                    const char* message) {
  if (!concentrate_scale) return 1.0;
  const double sigma2 = sumsq / static_cast<double>(n_eff);
  if (sigma2 <= 0.0) return core::fail(SarimaxError::data_error(message));
  return sigma2;
}

// The passes form products such as ∂F/∂σ²·F⁻², which carry the fourth power
// of the series' units: with σ² beyond 2^±VARIANCE_EXPONENT_LIMIT they would
// leave the range of doubles although the score itself does not. The same
// model is then taken in units scaled by a power of two s, with σ²/s² near 1:
// the series, both intercepts and the initial mean divided by s, σ² and the
// initial covariance by s², which rounds nothing. Its score entries are
// multiplied back by s^-u, u being the power of the units that the parameter
// carries: 1 for trend and regression coefficients, 2 for σ², 0 for the lag
// polynomials.
constexpr int VARIANCE_EXPONENT_LIMIT = 250;

struct InOtherUnits {
  Vec y;
  core::StateSpace ss;
  core::KalmanInit init;
  core::SarimaxParams params;
  int exponent;  // s = 2^exponent
};

std::optional<InOtherUnits> in_other_units(std::span<const double> y, const core::StateSpace& ss,
                                           const core::KalmanInit& init,
                                           const core::SarimaxParams& params,
                                           bool concentrate_scale) {
  // With the scale concentrated the system carries σ² = 1 and the passes
  // form no power of the units beyond the second.
  const double q = ss.state_cov(0, 0);
  if (concentrate_scale || !(q > 0.0 && std::isfinite(q))) return std::nullopt;
  const int e2 = std::ilogb(q);
  if (e2 >= -VARIANCE_EXPONENT_LIMIT && e2 <= VARIANCE_EXPONENT_LIMIT) return std::nullopt;
  const int e = e2 / 2;
  auto scale = [](auto&& values, int by) {
    for (auto& v : values) v = std::scalbn(v, by);
  };
  InOtherUnits out{Vec(y.begin(), y.end()), ss, init, params, e};
  scale(out.y, -e);
  scale(out.ss.obs_intercept, -e);
  scale(out.ss.state_intercept, -e);
  scale(out.ss.state_cov.reshaped(), -2 * e);
  scale(out.init.a0, -e);
  scale(out.init.p0.reshaped(), -2 * e);
  scale(out.params.trend, -e);
  scale(out.params.exog, -e);
  if (out.params.sigma2) *out.params.sigma2 = std::scalbn(*out.params.sigma2, -2 * e);
  return out;
}

// One gradient (or one observation's row) from the scaled units back to the
// caller's.
void to_caller_units(Vec& g, const core::SarimaxConfig& config, int e) {
  const std::size_t in_units = config.k_trend() + config.n_exog;
  for (std::size_t j = 0; j < in_units && j < g.size(); ++j) g[j] = std::scalbn(g[j], -e);
  if (!config.concentrate_scale && !g.empty()) g.back() = std::scalbn(g.back(), -2 * e);
}

struct SummedScore {
  TlkfResult pass;
  Vec gradient;
};

// The summed gradient and the forward sums, by the way back.
core::Result<SummedScore> summed_score(std::span<const double> y, const core::StateSpace& ss,
                                       const core::KalmanInit& init,
                                       const SystemDerivatives& derivs, bool concentrate_scale,
                                       const core::FilterSystem& system) {
  AdjointPass adjoint(y, ss, init, derivs, system);
  adjoint.run_forward();
  auto sigma2 = gradient_scale(concentrate_scale, adjoint.sums().sumsq, y.size() - init.burn,
                               "concentrated sigma^2 <= 0 in score computation");
  if (!sigma2) return core::fail(std::move(sigma2.error()));
  return SummedScore{adjoint.sums(), adjoint.gradient(*sigma2)};
}

}  // namespace

core::Result<Vec> score(std::span<const double> y, const core::StateSpace& ss,
                        const core::KalmanInit& init, const core::SarimaxConfig& config,
                        const core::SarimaxParams& params, bool concentrate_scale,
                        const core::Columns* exog) {
  const std::size_t n = y.size();
  if (auto e = check_all(n, ss, init, config, exog)) return core::fail(std::move(*e));
  if (auto other = in_other_units(y, ss, init, params, concentrate_scale)) {
    auto g =
        score(other->y, other->ss, other->init, config, other->params, concentrate_scale, exog);
    if (g) to_caller_units(*g, config, other->exponent);
    return g;
  }
  const SystemDerivatives derivs = precompute_derivatives(config, params, ss, n, exog);
  if (derivs.n_params == 0) return Vec{};
  thread_local core::FilterSystem kept;
  std::optional<core::FilterSystem> own;
  auto out = summed_score(y, ss, init, derivs, concentrate_scale,
                          core::FilterSystem::refreshed(kept, own, ss));
  if (!out) return core::fail(std::move(out.error()));
  return std::move(out->gradient);
}

core::Result<LoglikeAndScore> loglike_and_score(
    std::span<const double> y, const core::StateSpace& ss, const core::KalmanInit& init,
    const core::SarimaxConfig& config, const core::SarimaxParams& params, bool concentrate_scale,
    const core::Columns* exog, const core::FilterSystem& system) {
  const std::size_t n = y.size();
  if (auto e = check_all(n, ss, init, config, exog)) return core::fail(std::move(*e));
  if (auto other = in_other_units(y, ss, init, params, concentrate_scale)) {
    // The value from the filter itself, in the caller's units: bit for bit
    // the one `kalman_loglike` returns.
    auto value = core::kalman_loglike(y, ss, init, system, concentrate_scale);
    if (!value) return core::fail(std::move(value.error()));
    auto g =
        score(other->y, other->ss, other->init, config, other->params, concentrate_scale, exog);
    if (!g) return core::fail(std::move(g.error()));
    to_caller_units(*g, config, other->exponent);
    return LoglikeAndScore{value->loglike, std::move(*g)};
  }
  const SystemDerivatives derivs = precompute_derivatives(config, params, ss, n, exog);
  if (derivs.n_params == 0) {
    auto out = core::kalman_loglike(y, ss, init, system, concentrate_scale);
    if (!out) return core::fail(std::move(out.error()));
    return LoglikeAndScore{out->loglike, Vec{}};
  }
  auto out = summed_score(y, ss, init, derivs, concentrate_scale, system);
  if (!out) return core::fail(std::move(out.error()));
  auto value = core::loglike_from_sums(out->pass.sum_ln_f, out->pass.sum_v2_f, n - init.burn,
                                       concentrate_scale, ss.state_cov(0, 0));
  if (!value) return core::fail(std::move(value.error()));
  return LoglikeAndScore{value->loglike, std::move(out->gradient)};
}

core::Result<std::vector<Vec>> score_obs(std::span<const double> y, const core::StateSpace& ss,
                                         const core::KalmanInit& init,
                                         const core::SarimaxConfig& config,
                                         const core::SarimaxParams& params,
                                         bool concentrate_scale, const core::Columns* exog) {
  const std::size_t n = y.size();
  if (auto e = check_all(n, ss, init, config, exog)) return core::fail(std::move(*e));
  if (auto other = in_other_units(y, ss, init, params, concentrate_scale)) {
    auto rows = score_obs(other->y, other->ss, other->init, config, other->params,
                          concentrate_scale, exog);
    if (rows) {
      for (Vec& row : *rows) to_caller_units(row, config, other->exponent);
    }
    return rows;
  }
  const SystemDerivatives derivs = precompute_derivatives(config, params, ss, n, exog);
  const std::size_t k = derivs.n_params;
  const std::size_t n_eff = n - init.burn;
  if (k == 0) return std::vector<Vec>(n_eff);

  ObsRecords records(k, n_eff);
  const TlkfResult pass = tlkf_pass(y, ss, init, derivs, records);
  auto sigma2 = gradient_scale(concentrate_scale, pass.sumsq, n_eff,
                               "concentrated sigma^2 <= 0 in score_obs computation");
  if (!sigma2) return core::fail(std::move(sigma2.error()));
  const double s2 = *sigma2;

  std::vector<Vec> rows(records.size(), Vec(k));
  for (std::size_t i = 0; i < records.size(); ++i) {
    const double v = records.v[i];
    const double finv = records.finv[i];
    const auto dv = records.dv_row(i);
    const auto df = records.df_row(i);
    for (std::size_t j = 0; j < k; ++j) {
      const double t1 = (dv[j] * (finv * v)) / s2;
      const double t2 = (df[j] * (finv * ((v * v) * finv))) / s2;
      const double t3 = df[j] * finv;
      rows[i][j] = (t2 - t3) * 0.5 - t1;
    }
  }
  return rows;
}

}  // namespace peltaro::score
