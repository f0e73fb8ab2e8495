#include "peltaro/estimation/presteps.hpp"

#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/fit_result.hpp"
#include "peltaro/estimation/multistart.hpp"
#include "peltaro/estimation/start_params.hpp"
#include "peltaro/estimation/unbounded_runners.hpp"

namespace peltaro::estimation {

namespace {

// Evaluation limits of the warm start: its CSS estimate and its bounded run.
constexpr std::size_t WARM_CSS_LIMIT = 200;
constexpr std::uint64_t WARM_FIT_LIMIT = 200;

// The model parameters of a search's best point x (cost f), if the search
// found a point that could be evaluated.
std::optional<Vec> proposal(std::span<const double> x, double f, const SarimaxConfig& config) {
  if (is_penalty(f)) return std::nullopt;
  auto params = core::transform_params_inner(x, config, true);
  if (!params) return std::nullopt;
  return std::move(*params);
}

std::optional<Vec> proposal(const TextResult<RunnerResult>& run, const SarimaxConfig& config) {
  if (!run) return std::nullopt;
  return proposal(run->x, run->f, config);
}

}  // namespace

BoundsList css_bounds(const SarimaxConfig& config) {
  const auto& o = config.order;
  BoundsList bounds(config.n_params());
  const std::size_t first = config.k_trend() + config.n_exog;
  const std::size_t arma = o.p + o.q + o.P + o.Q;
  for (std::size_t i = first; i < first + arma && i < bounds.size(); ++i) {
    bounds[i] = Bound{-CSS_BOX, CSS_BOX};
  }
  return bounds;
}

std::vector<Vec> css_simplex(std::span<const double> x0) {
  std::vector<Vec> simplex(x0.size() + 1, Vec(x0.begin(), x0.end()));
  for (std::size_t i = 0; i < x0.size(); ++i) {
    const double xi = x0[i];
    simplex[i + 1][i] = std::fabs(xi) > 0.1 ? xi + 0.05 * xi : xi + 0.025;
  }
  return simplex;
}

TextResult<RunnerResult> run_nelder_mead_css(const CssObjective& objective,
                                             std::span<const double> x0, std::uint64_t limit) {
  return runners::nelder_mead_search(objective, css_simplex(x0), CSS_NELDER_MEAD_OPTIONS, limit);
}

std::optional<Vec> run_css_optimization(std::span<const double> y, const SarimaxConfig& config,
                                        std::span<const double> start, std::size_t limit,
                                        const Columns* exog) {
  const auto x0 = core::transform_params_inner(start, config, false);
  if (!x0 || x0->empty()) return std::nullopt;

  const CssObjective objective(y, exog, config);
  const auto css = [&](std::span<const double> x) { return objective.cost(x); };
  if (auto found = proposal(run_lbfgsb_css(css, *x0, limit, css_bounds(config)), config)) {
    return found;
  }
  // Stage 2 starts again from x0: where stage 1 stopped may be the very
  // point its line search could not leave.
  return proposal(run_nelder_mead_css(objective, *x0, limit), config);
}

std::optional<Vec> sd_warm_start_values(std::span<const double> y, const SarimaxConfig& sd_config,
                                        const Columns* exog, std::span<const double> w,
                                        const Columns* wx) {
  auto start = validate_and_get_start_params(y, sd_config, nullptr, exog);
  if (!start) return std::nullopt;
  const auto& o = sd_config.order;
  if (o.p + o.q + o.P + o.Q == 0) return std::move(*start);
  auto css = run_css_optimization(y, sd_config, *start, WARM_CSS_LIMIT, exog);
  if (css && eval_kf_loglike_constrained(w, sd_config, *css, wx) >
                 eval_kf_loglike_constrained(w, sd_config, *start, wx)) {
    return css;
  }
  return std::move(*start);
}

std::optional<Vec> run_sd_warm_start(std::span<const double> y, const SarimaxConfig& config,
                                     const Columns* exog) {
  SarimaxConfig sd_config = config;
  sd_config.simple_differencing = true;
  auto prepared = core::prepare_endog(y, sd_config, exog);
  if (!prepared) return std::nullopt;
  const Columns* wx = prepared->columns ? &*prepared->columns : nullptr;

  const auto start = sd_warm_start_values(y, sd_config, exog, prepared->series, wx);
  if (!start) return std::nullopt;
  const auto x0 = core::transform_params_inner(*start, sd_config, false);
  if (!x0) return std::nullopt;

  const SarimaxObjective objective(std::move(prepared->series), std::move(prepared->columns),
                                   sd_config);
  const auto fit = multistart::fit_lbfgsb_single(objective, *x0, sd_config, WARM_FIT_LIMIT);
  if (!fit) return std::nullopt;
  return proposal(fit->x, fit->f, sd_config);
}

}  // namespace peltaro::estimation
