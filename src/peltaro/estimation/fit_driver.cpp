#include "peltaro/estimation/fit_driver.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/bounded_runner.hpp"
#include "peltaro/estimation/cancellation.hpp"
#include "peltaro/estimation/multistart.hpp"
#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/presteps.hpp"
#include "peltaro/estimation/start_params.hpp"
#include "peltaro/estimation/start_region.hpp"
#include "peltaro/estimation/trust_region.hpp"
#include "peltaro/estimation/unbounded_runners.hpp"

namespace peltaro::estimation {
namespace {

// Log-likelihood margins a pre-step's proposal must beat the current start by.
constexpr double CSS_MARGIN_SEASONAL = 0.0;
constexpr double CSS_MARGIN = 2.0;
constexpr double WARM_START_MARGIN = 1.0;
constexpr std::size_t CSS_LIMIT = 300;
// State counts from which a fit under simple differencing is worth trying first.
constexpr std::uint64_t WARM_START_MIN_STATES = 40;

std::string valid_methods() {
  std::string out;
  for (const std::string_view name : METHOD_NAMES) {
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out;
}

bool is_seasonal(const SarimaxConfig& config) {
  const core::SarimaxOrder& o = config.order;
  return (o.P > 0 || o.Q > 0) && o.s > 1;
}

// A pure AR model with the scale concentrated needs no search when its start
// values are a real estimate: the start rule gives the least-squares AR fit.
bool direct_result_applies(const SarimaxConfig& config, bool start_given, std::string_view method) {
  const core::SarimaxOrder& o = config.order;
  return config.trend == core::Trend::None && o.p >= 3 && o.q == 0 && o.P == 0 && o.Q == 0 &&
         config.n_exog == 0 && !start_given && method == DEFAULT_METHOD && config.concentrate_scale;
}

// The start values are a usable AR estimate only when the start rule kept the
// block (it zeroes a block it distrusts, or one it could not fit) and the
// polynomial is stationary: every inverted root strictly inside the unit circle.
bool usable_ar_estimate(std::span<const double> ar) {
  if (std::all_of(ar.begin(), ar.end(), [](double v) { return v == 0.0; })) return false;
  const RootList roots = polynomial_roots(ar);
  if (roots.size() != ar.size()) return false;
  return std::all_of(roots.begin(), roots.end(),
                     [](const auto& r) { return std::hypot(r.first, r.second) < 1.0; });
}

core::Result<FitResult> direct_result(std::span<const double> endog, const SarimaxConfig& config,
                                      const Vec& start, const Columns* exog) {
  auto params = core::SarimaxParams::from_flat(start, config);
  if (!params) return core::fail(std::move(params.error()));
  auto ss = core::StateSpace::create(config, *params, endog, exog);
  if (!ss) return core::fail(std::move(ss.error()));
  const core::KalmanInit init = core::KalmanInit::from_config_default(*ss, config);
  auto out = core::kalman_loglike(endog, *ss, init, true);
  if (!out) return core::fail(std::move(out.error()));
  FitResult r;
  r.params = start;
  r.method = "burg-direct";
  r.loglike = out->loglike;
  r.scale = out->scale;
  r.n_obs = endog.size();
  r.n_params = config.order.p + 1;
  r.n_iter = 0;
  const double k = static_cast<double>(r.n_params);
  r.aic = -2.0 * r.loglike + 2.0 * k;
  r.bic = -2.0 * r.loglike + k * std::log(static_cast<double>(r.n_obs));
  r.converged = true;
  return r;
}

// Conditional-sum-of-squares pre-step, then the warm start under simple
// differencing; each replaces the start only when it is better by its margin.
Vec improve_start(std::span<const double> y, std::span<const double> endog,
                  const SarimaxConfig& config, Vec start, const Columns* exog,
                  const Columns* exog_used) {
  if (const auto margin = css_prestep_margin(config)) {
    if (auto css = run_css_optimization(y, config, start, CSS_LIMIT, exog)) {
      const double ll_css = eval_kf_loglike_constrained(endog, config, *css, exog_used);
      const double ll_start = eval_kf_loglike_constrained(endog, config, start, exog_used);
      if (ll_css > ll_start + *margin) start = std::move(*css);
    }
  }
  if (warm_start_applies(config)) {
    if (auto warm = run_sd_warm_start(y, config, exog)) {
      const double ll_warm = eval_kf_loglike_constrained(endog, config, *warm, exog_used);
      const double ll_start = eval_kf_loglike_constrained(endog, config, start, exog_used);
      if (ll_warm > ll_start + WARM_START_MARGIN) start = std::move(*warm);
    }
  }
  return start;
}

core::Result<StrategyOutcome> from_runner(TextResult<RunnerResult> r, const char* label) {
  if (!r) return core::fail(core::SarimaxError::optimization_failed(std::move(r.error())));
  return StrategyOutcome{std::move(r->x), r->f, r->n_iter, r->converged, label};
}

core::Result<StrategyOutcome> run_method(std::string_view method, const SarimaxObjective& objective,
                                         const Vec& x0, const SarimaxConfig& config,
                                         std::uint64_t maxiter, bool start_given) {
  const std::size_t n = x0.size();
  const std::size_t n_starts = multistart::automatic_start_count(config, n);
  if (method == "lbfgsb") return multistart::fit_lbfgsb_single(objective, x0, config, maxiter);
  if (method == "lbfgsb-multi") {
    return multistart::fit_lbfgsb_multi(objective, x0, n, config, maxiter, n_starts);
  }
  if (method == "lbfgsb-adaptive") {
    return multistart::fit_lbfgsb_adaptive_restart(objective, x0, config, maxiter, n_starts);
  }
  if (method == "lbfgsb-hybrid") {
    return multistart::fit_lbfgsb_hybrid(objective, x0, n, config, maxiter, n_starts);
  }
  if (method == "lbfgsb-strict" || method == "lbfgsb_single") {
    return from_runner(runners::run_lbfgsb(objective, x0, runners::compute_bounds(config), maxiter),
                       "lbfgsb-strict");
  }
  if (method == "lbfgs") {
    return multistart::fit_lbfgs_argmin(objective, x0, n, config, maxiter, n_starts);
  }
  if (method == "bfgs") return multistart::fit_bfgs_single(objective, x0, config, maxiter);
  if (method == "trust-region") {
    return trust_region::fit_trust_region_single(objective, x0, config, maxiter);
  }
  if (method == "profile-trust-region") {
    return trust_region::fit_profile_trust_region(objective, x0, config, maxiter, start_given);
  }
  return from_runner(runners::run_nelder_mead(objective.clone(), x0, maxiter), "nelder-mead");
}

}  // namespace

std::optional<double> css_prestep_margin(const SarimaxConfig& config) {
  const core::SarimaxOrder& o = config.order;
  const std::uint64_t sum_arma = o.p + o.q + o.P + o.Q;
  const bool seasonal = is_seasonal(config);
  if (sum_arma == 0 || (!seasonal && sum_arma == 1)) return std::nullopt;
  return seasonal ? CSS_MARGIN_SEASONAL : CSS_MARGIN;
}

bool warm_start_applies(const SarimaxConfig& config) {
  return !config.simple_differencing && config.order.k_states() >= WARM_START_MIN_STATES;
}

core::Result<FitResult> fit(std::span<const double> y, const SarimaxConfig& config,
                            std::optional<std::span<const double>> start_params,
                            std::optional<std::string_view> method_arg,
                            std::optional<std::uint64_t> maxiter_arg, const Columns* exog) {
  const std::string_view method = method_arg.value_or(DEFAULT_METHOD);
  const std::uint64_t maxiter = maxiter_arg.value_or(DEFAULT_MAXITER);
  if (std::find(METHOD_NAMES.begin(), METHOD_NAMES.end(), method) == METHOD_NAMES.end()) {
    return core::fail(core::SarimaxError::optimization_failed(
        "unknown method: '" + std::string(method) + "'. Valid methods: " + valid_methods()));
  }
  const std::uint64_t n_params = config.n_params();
  if (start_params && start_params->size() != n_params) {
    return core::fail(core::SarimaxError::invalid_input(
        "start_params length mismatch: expected " + std::to_string(n_params) + ", got " +
        std::to_string(start_params->size())));
  }

  auto prepared = core::prepare_endog(y, config, exog);
  if (!prepared) return core::fail(std::move(prepared.error()));
  const Vec& endog = prepared->series;
  // Under simple differencing the model sees the differenced columns;
  // otherwise the caller's.
  const Columns* exog_used =
      config.simple_differencing ? (prepared->columns ? &*prepared->columns : nullptr) : exog;

  if (n_params == 0) return build_zero_iter_result(endog, config, {}, exog_used, method);

  const Vec given = start_params ? Vec(start_params->begin(), start_params->end()) : Vec{};
  auto start = validate_and_get_start_params(y, config, start_params ? &given : nullptr, exog);
  if (!start) return core::fail(std::move(start.error()));
  if (start->size() != n_params) throw std::logic_error("start values of the wrong length");
  if (start_params) {
    // A given variance must be positive and finite, as wherever model
    // parameters come in; NaN and infinity would survive the logarithm.
    auto given_params = core::SarimaxParams::from_flat(*start, config);
    if (!given_params) return core::fail(std::move(given_params.error()));
    if (auto err = core::check_variance(*given_params, config)) return core::fail(std::move(*err));
  }

  if (direct_result_applies(config, start_params.has_value(), method) &&
      usable_ar_estimate(std::span<const double>(*start).first(config.order.p))) {
    return direct_result(endog, config, *start, exog_used);
  }
  if (maxiter == 0) return build_zero_iter_result(endog, config, *start, exog_used, method);

  Vec chosen = std::move(*start);
  if (!start_params && method != "trust-region") {
    chosen = improve_start(y, endog, config, std::move(chosen), exog, exog_used);
  }
  auto x0 = unconstrain_start(chosen, config, start_params.has_value());
  if (!x0) return core::fail(std::move(x0.error()));

  const SarimaxObjective objective(
      endog, exog_used != nullptr ? std::optional<Columns>(*exog_used) : std::nullopt, config);
  auto outcome = run_method(method, objective, x0->x, config, maxiter, start_params.has_value());
  if (!outcome) return core::fail(std::move(outcome.error()));
  return build_fit_result(endog, config, outcome->x, outcome->n_iter, outcome->converged,
                          std::move(outcome->label), exog_used, std::move(x0->warnings));
}

}  // namespace peltaro::estimation
