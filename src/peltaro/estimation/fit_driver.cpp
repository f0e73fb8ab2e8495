#include "peltaro/estimation/fit_driver.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/basin_search.hpp"
#include "peltaro/estimation/bounded_runner.hpp"
#include "peltaro/estimation/cancellation.hpp"
#include "peltaro/estimation/data_units.hpp"
#include "peltaro/estimation/edge_polish.hpp"
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

// The fit under simple differencing and its log-likelihood, once computed:
// it does not depend on the start, so a fit that improves two starts runs
// it once.
struct WarmStart {
  bool computed = false;
  std::optional<Vec> params;
  double loglike = 0.0;
};

// Conditional-sum-of-squares pre-step, then the warm start under simple
// differencing; each replaces the start only when it is better by its margin.
Vec improve_start(std::span<const double> y, std::span<const double> endog,
                  const SarimaxConfig& config, Vec start, const Columns* exog,
                  const Columns* exog_used, WarmStart& warm) {
  if (const auto margin = css_prestep_margin(config)) {
    if (auto css = run_css_optimization(y, config, start, CSS_LIMIT, exog)) {
      const double ll_css = eval_kf_loglike_constrained(endog, config, *css, exog_used);
      const double ll_start = eval_kf_loglike_constrained(endog, config, start, exog_used);
      if (ll_css > ll_start + *margin) start = std::move(*css);
    }
  }
  if (warm_start_applies(config)) {
    if (!warm.computed) {
      warm.computed = true;
      warm.params = run_sd_warm_start(y, config, exog);
      if (warm.params) {
        warm.loglike = eval_kf_loglike_constrained(endog, config, *warm.params, exog_used);
      }
    }
    if (warm.params) {
      const double ll_start = eval_kf_loglike_constrained(endog, config, start, exog_used);
      if (warm.loglike > ll_start + WARM_START_MARGIN) start = *warm.params;
    }
  }
  return start;
}

// A reduced model fitted as the default method fits it, in the full fit's
// units and on its series; its parameters in model coordinates.
std::optional<Vec> fit_reduced_model(std::span<const double> y, std::span<const double> endog,
                                     const SarimaxConfig& config, const Columns* exog,
                                     const Columns* exog_used, std::uint64_t maxiter) {
  auto start = validate_and_get_start_params(y, config, nullptr, exog);
  if (!start) return std::nullopt;
  WarmStart warm;
  Vec chosen = improve_start(y, endog, config, std::move(*start), exog, exog_used, warm);
  auto x0 = unconstrain_start(chosen, config, false);
  if (!x0) return std::nullopt;
  const SarimaxObjective objective(
      Vec(endog.begin(), endog.end()),
      exog_used != nullptr ? std::optional<Columns>(*exog_used) : std::nullopt, config);
  auto run = multistart::fit_lbfgsb_single(objective, x0->x, config, maxiter, false);
  if (!run || is_penalty(run->f)) return std::nullopt;
  auto params = core::transform_params_inner(run->x, config, true);
  if (!params) return std::nullopt;
  return std::move(*params);
}

// Whether an ARMA block of `params` is all zeros, as the start values leave a
// block whose estimate is not safely inside its region.
bool has_zero_block(std::span<const double> params, const SarimaxConfig& config) {
  const CoefficientLayout at(config);
  const auto zero = [&](std::size_t from, std::size_t to) {
    return from < to && std::all_of(params.begin() + static_cast<std::ptrdiff_t>(from),
                                    params.begin() + static_cast<std::ptrdiff_t>(to),
                                    [](double v) { return v == 0.0; });
  };
  return zero(at.ar, at.ma) || zero(at.ma, at.sar) || zero(at.sar, at.sma) || zero(at.sma, at.end);
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
  if (start_params) {
    // A given variance must be positive and finite, as wherever model
    // parameters come in; NaN and infinity would survive the logarithm.
    auto given_params = core::SarimaxParams::from_flat(given, config);
    if (!given_params) return core::fail(std::move(given_params.error()));
    if (auto err = core::check_variance(*given_params, config)) return core::fail(std::move(*err));
  }

  // Everything from the start values to the optimum works on the data in
  // units of order one; the record is built in the caller's.
  const DataUnits units = DataUnits::choose(y, exog, config);
  const Vec y_fit = units.scale_series(y);
  const std::optional<Columns> exog_fit =
      exog != nullptr ? std::optional<Columns>(units.scale_columns(*exog)) : std::nullopt;
  const Columns* exog_fit_ptr = exog_fit ? &*exog_fit : nullptr;
  const SarimaxConfig config_fit = units.scale_config(config);

  const Vec given_fit = units.params_to_fit(given, config);
  auto start = validate_and_get_start_params(y_fit, config_fit,
                                             start_params ? &given_fit : nullptr, exog_fit_ptr);
  if (!start) return core::fail(std::move(start.error()));
  if (start->size() != n_params) throw std::logic_error("start values of the wrong length");
  if (maxiter == 0) {
    const Vec at = start_params ? given : units.params_to_caller(*start, config);
    return build_zero_iter_result(endog, config, at, exog_used, method);
  }

  auto prepared_fit = core::prepare_endog(y_fit, config_fit, exog_fit_ptr);
  if (!prepared_fit) return core::fail(std::move(prepared_fit.error()));
  const Vec& endog_fit = prepared_fit->series;
  const Columns* exog_used_fit =
      config.simple_differencing ? (prepared_fit->columns ? &*prepared_fit->columns : nullptr)
                                 : exog_fit_ptr;

  const SarimaxObjective objective(
      endog_fit,
      exog_used_fit != nullptr ? std::optional<Columns>(*exog_used_fit) : std::nullopt,
      config_fit);
  // One start (model coordinates) through the pre-steps, the start the
  // optimiser gets, and the method's run from there.
  struct Run {
    Vec raw_start;
    UnconstrainedStart x0;
    StrategyOutcome outcome;
  };
  WarmStart warm;
  const auto prepare = [&](Vec raw_start) -> core::Result<Run> {
    Vec chosen = raw_start;
    if (!start_params && method != "trust-region") {
      chosen = improve_start(y_fit, endog_fit, config_fit, std::move(chosen), exog_fit_ptr,
                             exog_used_fit, warm);
    }
    auto x0 = unconstrain_start(chosen, config_fit, start_params.has_value());
    if (!x0) return core::fail(std::move(x0.error()));
    return Run{std::move(raw_start), std::move(*x0), {}};
  };
  const auto run = [&](Run& r) -> core::Result<void> {
    auto outcome =
        run_method(method, objective, r.x0.x, config_fit, maxiter, start_params.has_value());
    if (!outcome) return core::fail(std::move(outcome.error()));
    r.outcome = std::move(*outcome);
    return {};
  };
  const bool default_search = method == DEFAULT_METHOD && !start_params;
  const bool search_basins = default_search && basin_search::applies(config_fit);
  // The default method's searches after its run: other basins, then the
  // enforced edges and the MA twins. The end point in model coordinates.
  const auto finish = [&](Run& r) -> core::Result<Vec> {
    StrategyOutcome& outcome = r.outcome;
    if (search_basins) {
      const basin_search::ReducedFit fit_reduced = [&](const SarimaxConfig& reduced) {
        return fit_reduced_model(y_fit, endog_fit, reduced, exog_fit_ptr, exog_used_fit, maxiter);
      };
      outcome = basin_search::search(objective, config_fit, r.raw_start, std::move(outcome),
                                     maxiter, fit_reduced);
    }
    auto params = core::transform_params_inner(outcome.x, config_fit, true);
    if (!params) return core::fail(std::move(params.error()));
    if (method != DEFAULT_METHOD) return std::move(*params);
    auto polished = edge_polish::polish(objective, endog_fit, exog_used_fit, config_fit,
                                        {std::move(*params), outcome.f, outcome.converged},
                                        maxiter);
    outcome.converged = polished.converged;
    return std::move(polished.params);
  };

  // A regression estimate outside its region starts the first run at zero
  // in that block. Its shape, pulled inside, often leads to another basin,
  // and a higher one as often as not: the run from there goes on when it
  // ends higher, or when the first run failed.
  std::optional<Vec> pulled;
  if (default_search && has_zero_block(*start, config_fit)) {
    auto computed = start_params::compute_start_params(y_fit, config_fit, exog_fit_ptr,
                                                       start_params::UnsafeBlock::PullIn);
    if (computed && *computed != *start) pulled = std::move(*computed);
  }
  auto kept = prepare(std::move(*start));
  if (kept) {
    if (auto ran = run(*kept); !ran) kept = core::fail(std::move(ran.error()));
  }
  if (pulled) {
    auto other = prepare(std::move(*pulled));
    // Pre-steps that led both starts to one point need one run.
    if (other && !(kept && other->x0.x == kept->x0.x) && run(*other)) {
      if (!kept || (!is_penalty(other->outcome.f) &&
                    (is_penalty(kept->outcome.f) ||
                     lower_beyond_rounding(other->outcome.f, kept->outcome.f)))) {
        kept = std::move(other);
      }
    }
  }
  if (!kept) return core::fail(std::move(kept.error()));
  auto params_fit = finish(*kept);
  if (!params_fit) return core::fail(std::move(params_fit.error()));
  return build_fit_result_at(endog, config, units.params_to_caller(*params_fit, config),
                             kept->outcome.n_iter, kept->outcome.converged,
                             std::move(kept->outcome.label), exog_used,
                             std::move(kept->x0.warnings));
}

}  // namespace peltaro::estimation
