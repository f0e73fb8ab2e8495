#pragma once
// Better start values before the main fit: a conditional-sum-of-squares
// estimate, and a fit of the same model under simple differencing. Both
// only propose (model coordinates, flat order); they never fail, every
// problem giving no proposal. The fit driver decides whether to take one.
//
// A proposal is only ever a point at which its criterion could be evaluated:
// a search that found nothing but the penalty proposes nothing.

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "peltaro/estimation/engine/nelder_mead.hpp"
#include "peltaro/estimation/lbfgsb_driver.hpp"
#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

// Minimises −CSS from `start` (model coordinates): L-BFGS-B with the ARMA
// coordinates in [−10, 10] under `limit` counted requests, then Nelder-Mead from the same
// start if that run reports an error or ends where nothing could be
// evaluated. `y` and `exog` are raw (undifferenced).
std::optional<Vec> run_css_optimization(std::span<const double> y, const SarimaxConfig& config,
                                        std::span<const double> start, std::size_t limit,
                                        const Columns* exog);

// One bounded fit of the model with simple differencing switched on, from
// the start values of that model (or their CSS estimate, see below).
std::optional<Vec> run_sd_warm_start(std::span<const double> y, const SarimaxConfig& config,
                                     const Columns* exog);

// The start of the warm start's bounded run, model coordinates: the computed
// start values under `sd_config` (simple differencing on), replaced by their
// CSS estimate only when its exact log-likelihood on the differenced series
// `w` (columns `wx`) is strictly higher. A tie, minus infinity on both sides
// included, keeps the start values. Nothing when there are no start values.
std::optional<Vec> sd_warm_start_values(std::span<const double> y, const SarimaxConfig& sd_config,
                                        const Columns* exog, std::span<const double> w,
                                        const Columns* wx);

// ---------------------------------------------------------------------------
// The two stages of the CSS estimate.

// Stage 1 settings. The ARMA coordinates lie in a box; trend and regression
// coefficients are in the data's units and free, as in the likelihood. The
// criterion ignores the variance, whose coordinate is free and never moves.
inline constexpr double CSS_BOX = 10.0;
BoundsList css_bounds(const SarimaxConfig& config);
inline constexpr LbfgsbOptions CSS_LBFGSB_OPTIONS{
    .m = 10, .factr = 1e7, .pgtol = 1e-5, .iprint = -1};
// A value at or above a quarter of the largest double is no genuine value of
// the criterion (the penalty lies above it): the request is answered as a
// failed evaluation.
inline constexpr double CSS_FAILED_FROM = std::numeric_limits<double>::max() / 4.0;
// Absolute step of the central differences; the divisor is 2·step.
inline constexpr double CSS_STEP = 1e-7;

// Stage 2 settings: the runner's coefficients, a looser spread tolerance.
inline constexpr engine::NelderMeadOptions CSS_NELDER_MEAD_OPTIONS{
    .alpha = 1.0, .gamma = 2.0, .rho = 0.5, .sigma = 0.5, .sd_tolerance = 1e-4};

template <class C>
concept CssCost = std::invocable<const C&, std::span<const double>> &&
                  std::convertible_to<std::invoke_result_t<const C&, std::span<const double>>,
                                      double>;

// Stage 1's answer to each value-and-gradient request. The first `limit`
// requests are counted and get the value and a central-difference gradient
// (2n more evaluations, not counted); later requests get the value and a
// zero gradient, which stops the routine at its next iterate. A failed value
// (non-finite, or at or above CSS_FAILED_FROM) gives the penalty and a zero
// gradient; a slope that is not finite counts as 0.
template <CssCost Cost>
class CssEvaluation {
 public:
  CssEvaluation(Cost cost, std::size_t limit, std::size_t n)
      : cost_(std::move(cost)), budget_(limit), probe_(n) {}

  double operator()(std::span<const double> x, std::span<double> g) {
    const bool counted = budget_.take();
    const double f = cost_(x);
    if (!(f < CSS_FAILED_FROM) || !std::isfinite(f)) {
      std::ranges::fill(g, 0.0);
      return PENALTY;
    }
    if (!counted) {
      std::ranges::fill(g, 0.0);
      return f;
    }
    probe_.assign(x.begin(), x.end());
    for (std::size_t i = 0; i < x.size(); ++i) {
      probe_[i] = x[i] + CSS_STEP;
      const double up = cost_(probe_);
      probe_[i] = x[i] - CSS_STEP;
      const double down = cost_(probe_);
      probe_[i] = x[i];
      const double slope = (up - down) / (2.0 * CSS_STEP);
      g[i] = std::isfinite(slope) ? slope : 0.0;
    }
    return f;
  }

  [[nodiscard]] const RequestBudget& budget() const { return budget_; }

 private:
  Cost cost_;
  RequestBudget budget_;
  Vec probe_;  // the point with one coordinate stepped
};

// Stage 1: L-BFGS-B on any cost from x0 inside `bounds`. The count is the
// number of counted requests; a run converges when the routine's own test
// stopped it within the limit. The routine's error is passed on as its text.
template <CssCost Cost>
TextResult<RunnerResult> run_lbfgsb_css(Cost cost, Vec x0, std::size_t limit, BoundsList bounds) {
  using Closure = CssEvaluation<Cost>;
  const std::size_t n = x0.size();
  LbfgsbState<Closure> state(std::move(x0), Closure(std::move(cost), limit, n), std::move(bounds),
                             CSS_LBFGSB_OPTIONS);
  const auto task = state.minimize();
  if (!task) return fail_text(task.error());
  const auto& p = state.problem();
  const RequestBudget& budget = p.eval_fg.budget();
  const bool converged = task_code::is_convergence(*task) && !budget.exhausted();
  return RunnerResult{p.x, p.f, budget.evals(), converged, std::nullopt};
}

// Stage 2's simplex: x0, then for each coordinate i a copy of x0 with x_i
// moved by 5% of itself when |x_i| > 0.1, else by +0.025 (NaN included).
// The steps are coarser than the runner's, so that the vertex costs differ by
// more than the looser spread tolerance, which would otherwise end the search
// at its start.
std::vector<Vec> css_simplex(std::span<const double> x0);

// Stage 2: Nelder-Mead on the CSS criterion from x0, at most `limit`
// iterations.
TextResult<RunnerResult> run_nelder_mead_css(const CssObjective& objective,
                                             std::span<const double> x0, std::uint64_t limit);

}  // namespace peltaro::estimation
