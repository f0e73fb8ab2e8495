#include "peltaro/estimation/fit_result.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/cancellation.hpp"

namespace peltaro::estimation {
namespace {

// One filter pass at model parameters. Parameters given as they stand (not
// mapped from an optimum) may carry a variance that is not a positive
// number, which gives no likelihood: it is refused before the filter.
core::Result<core::KalmanOutput> final_pass(std::span<const double> y, const SarimaxConfig& config,
                                            const core::SarimaxParams& params,
                                            const Columns* exog, bool given_params) {
  auto ss = core::StateSpace::create(config, params, y, exog);
  if (!ss) return core::fail(std::move(ss.error()));
  if (given_params) {
    if (auto err = core::check_variance(params, config)) return core::fail(std::move(*err));
  }
  const core::KalmanInit init = core::KalmanInit::from_config_default(*ss, config);
  return core::kalman_loglike(y, *ss, init, config.concentrate_scale);
}

// A fit never hands back a variance the module refuses: ln σ² below about
// −745 maps to σ² = 0 (the filter counts the steps whose F is no longer
// positive as skipped, so a search sees a flat, finite value there and can
// wander onto it), and a concentrated scale is 0 when the model reproduces
// the series exactly. Such an end point is no estimate;
// the fit fails with the reason. (Non-finite parameters never get this far:
// the filter pass before refuses their statistics.)
std::optional<core::SarimaxError> refused_variance(const core::SarimaxParams& sp,
                                                   const core::KalmanOutput& out,
                                                   const SarimaxConfig& config) {
  if (auto err = core::check_variance(sp, config)) {
    return core::SarimaxError::optimization_failed(err->payload());
  }
  if (!(std::isfinite(out.scale) && out.scale > 0.0)) {
    return core::SarimaxError::optimization_failed(core::refused_variance_text(out.scale));
  }
  return std::nullopt;
}

FitResult record(Vec params, std::string method, std::vector<std::string> warnings,
                 const core::KalmanOutput& out, std::size_t n_obs, const SarimaxConfig& config,
                 std::uint64_t n_iter, bool converged) {
  FitResult r;
  r.params = std::move(params);
  r.method = std::move(method);
  r.warnings = std::move(warnings);
  r.loglike = out.loglike;
  r.scale = out.scale;
  r.n_obs = n_obs;
  r.n_params = information_param_count(config);
  r.n_iter = n_iter;
  const double k = static_cast<double>(r.n_params);
  r.aic = -2.0 * r.loglike + 2.0 * k;
  r.bic = -2.0 * r.loglike + k * std::log(static_cast<double>(n_obs));
  r.converged = converged;
  return r;
}

}  // namespace

std::uint64_t information_param_count(const SarimaxConfig& config) {
  const core::SarimaxOrder& o = config.order;
  return config.k_trend() + config.n_exog + o.p + o.q + o.P + o.Q + 1;
}

core::Result<FitResult> build_fit_result(std::span<const double> y, const SarimaxConfig& config,
                                         std::span<const double> x, std::uint64_t n_iter,
                                         bool converged, std::string label, const Columns* exog,
                                         std::vector<std::string> warnings) {
  auto params = core::transform_params_inner(x, config, true);
  if (!params) return core::fail(std::move(params.error()));
  return build_fit_result_at(y, config, std::move(*params), n_iter, converged, std::move(label),
                             exog, std::move(warnings));
}

core::Result<FitResult> build_fit_result_at(std::span<const double> y, const SarimaxConfig& config,
                                            Vec params, std::uint64_t n_iter, bool converged,
                                            std::string label, const Columns* exog,
                                            std::vector<std::string> warnings) {
  auto sp = core::SarimaxParams::from_flat(params, config);
  if (!sp) return core::fail(std::move(sp.error()));
  const std::size_t p = config.order.p, q = config.order.q;
  if (!validate_no_near_cancellation(*sp, p, q, RIDGE_TOLERANCE)) {
    warnings.push_back("near-cancellation detected in fitted ARMA(" + std::to_string(p) + "," +
                       std::to_string(q) +
                       ") parameters (min inverted-root distance < 0.05). Model may be "
                       "non-identifiable.");
  }
  auto out = final_pass(y, config, *sp, exog, false);
  if (!out) return core::fail(std::move(out.error()));
  if (auto err = refused_variance(*sp, *out, config)) return core::fail(std::move(*err));
  return record(std::move(params), std::move(label), std::move(warnings), *out, y.size(), config,
                n_iter, converged);
}

core::Result<FitResult> build_zero_iter_result(std::span<const double> y,
                                               const SarimaxConfig& config,
                                               std::span<const double> params, const Columns* exog,
                                               std::string_view method) {
  auto sp = core::SarimaxParams::from_flat(params, config);
  if (!sp) return core::fail(std::move(sp.error()));
  auto out = final_pass(y, config, *sp, exog, true);
  if (!out) return core::fail(std::move(out.error()));
  if (auto err = refused_variance(*sp, *out, config)) return core::fail(std::move(*err));
  return record(Vec(params.begin(), params.end()), std::string(method), {}, *out, y.size(), config,
                0, config.n_params() == 0);
}

double eval_kf_loglike_constrained(std::span<const double> y, const SarimaxConfig& config,
                                   std::span<const double> params, const Columns* exog) {
  auto sp = core::SarimaxParams::from_flat(params, config);
  if (!sp) return -std::numeric_limits<double>::infinity();
  auto out = final_pass(y, config, *sp, exog, true);
  if (!out) return -std::numeric_limits<double>::infinity();
  return out->loglike;
}

}  // namespace peltaro::estimation
