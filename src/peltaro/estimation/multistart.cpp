#include "peltaro/estimation/multistart.hpp"

#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <utility>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/bounded_runner.hpp"
#include "peltaro/estimation/cancellation.hpp"
#include "peltaro/estimation/unbounded_runners.hpp"
#include "peltaro/parallel/fork_guard.hpp"
#include "peltaro/parallel/pool.hpp"

namespace peltaro::estimation::multistart {
namespace {

// Fixed seeds: a fit gives the same starts, and so the same result, on every
// call.
constexpr std::uint64_t PERTURBED_SEED = 12345;
constexpr std::uint64_t HYBRID_SEED = 0xa7f35b2e1290c84b;
constexpr std::uint64_t ADAPTIVE_SEED = 0x9e3779b97f4a7c15;

// Every scaled-start strategy draws at least this many starts.
constexpr std::size_t MIN_SCALED_STARTS = 3;
// The smallest evaluation allowance of one restart of the hybrid and
// adaptive strategies.
constexpr std::uint64_t MIN_RESTART_EVALS = 50;
// A single run on a cancellation ridge gives way to the multi-start optimum
// only when that is lower by more than this.
constexpr double ESCALATION_MARGIN = 0.1;

constexpr std::string_view MULTI_LABEL = "lbfgsb-multi";
constexpr std::string_view LBFGS_LABEL = "lbfgs";
constexpr std::string_view HYBRID_LABEL = "lbfgsb-hybrid";
constexpr std::string_view ADAPTIVE_LABEL = "lbfgsb-adaptive";
constexpr std::string_view NM_FALLBACK_LABEL = "nelder-mead (fallback)";

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  return b > max - a ? max : a + b;
}

// One step of the 64-bit linear congruential generator behind every start.
std::uint64_t lcg_next(std::uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state;
}

std::vector<Vec> clear_of_cancellation(std::vector<Vec> starts, const SarimaxConfig& config) {
  std::erase_if(starts, [&](const Vec& x) { return !passes_cancellation_filter(x, config); });
  return starts;
}

// The guard's refusal is no error here: the strategy carries on without the
// pool.
bool pool_allowed() { return !parallel::guard_rayon_fork().has_value(); }

// L-BFGS-B from every start on the worker pool, each run on its own copy of
// the objective and of the bounds. Slot i holds the run from start i, or
// nothing when it failed; an exception counts as a failure, as it must not
// leave the pool. Slots keep start order whatever order the runs end in.
std::vector<std::optional<RunnerResult>> run_lbfgsb_on_pool(const SarimaxObjective& objective,
                                                           const std::vector<Vec>& starts,
                                                           const BoundsList& bounds,
                                                           std::uint64_t max_evals) {
  std::vector<std::optional<RunnerResult>> slots(starts.size());
  parallel::for_each_index(starts.size(), [&](std::size_t i) {
    try {
      if (auto r = runners::run_lbfgsb(objective, starts[i], bounds, max_evals)) {
        slots[i] = std::move(*r);
      }
    } catch (...) {
      slots[i].reset();
    }
  });
  return slots;
}

void offer_all(std::optional<BestRecord>& best, std::vector<std::optional<RunnerResult>> runs,
               std::string_view label) {
  for (auto& r : runs) {
    if (r) try_update_best(best, std::move(r->x), r->converged, std::string(label), r->f);
  }
}

// The last resort of a strategy: Nelder-Mead from x0 with what is left of
// its budget. A cost still at the penalty means nothing could be evaluated,
// so that result never reads as converged. Only this run's failure fails the
// strategy.
StrategyResult nelder_mead_fallback(const SarimaxObjective& objective, std::span<const double> x0,
                                    const EvalBudget& budget) {
  auto r = runners::run_nelder_mead(objective.clone(), Vec(x0.begin(), x0.end()), budget.left);
  if (!r) return core::fail(core::SarimaxError::optimization_failed(std::move(r.error())));
  const std::uint64_t n_iter = saturating_add(budget.total, std::min(budget.left, r->n_iter));
  return StrategyOutcome{std::move(r->x), r->f, n_iter, r->converged && !is_penalty(r->f),
                         std::string(NM_FALLBACK_LABEL)};
}

// What distinguishes the bounded and the unbounded multi-start: the local
// run, its label, and the bounds when the runs may go to the pool.
struct LocalSearch {
  std::string_view label;
  std::function<TextResult<RunnerResult>(Vec start, std::uint64_t limit)> run;
  const BoundsList* pool_bounds = nullptr;  // null: one run after another
};

// The grid runs are Nelder-Mead runs: a run label naming the bounded solver
// gains "+nm", and "lbfgs" stays as it is.
std::string grid_label(std::string_view run_label) {
  std::string label(run_label);
  if (label.find("lbfgsb") != std::string::npos) label += "+nm";
  return label;
}

// The multi-start scheme shared by the bounded and the unbounded searches:
// x0, then (with starts asked for) the origin, the MA grid and perturbed
// copies of x0, all under one budget; then a Nelder-Mead refinement of the
// best, or Nelder-Mead from x0 when no run gave a usable point.
StrategyResult multi_start(const SarimaxObjective& objective, std::span<const double> x0,
                           std::size_t n, const SarimaxConfig& config, std::uint64_t budget,
                           std::size_t n_starts, const LocalSearch& search) {
  if (x0.size() != n) throw std::logic_error("multi-start: start length differs from n");
  EvalBudget spent{budget};
  std::optional<BestRecord> best;
  const std::string label(search.label);
  // A run that found only the penalty spent its evaluations all the same:
  // it is charged, though the best record refuses it.
  const auto run_and_offer = [&](Vec start) {
    if (auto r = search.run(std::move(start), spent.left)) {
      spent.charge(r->n_iter);
      try_update_best(best, std::move(r->x), r->converged, label, r->f);
    }
  };

  run_and_offer(Vec(x0.begin(), x0.end()));
  if (n_starts > 0 && spent.left > 0) {
    run_and_offer(Vec(n, 0.0));
    grid_ma_initialization(objective, config, n, spent, best, grid_label(label));
    std::vector<Vec> candidates =
        clear_of_cancellation(lcg_perturbed_starts(x0, n, n_starts, spent.left), config);
    if (search.pool_bounds != nullptr && candidates.size() >= 2 && spent.left > 0 &&
        pool_allowed()) {
      // An equal share for each start; with fewer evaluations left than
      // starts a share would be nothing, so none runs.
      if (candidates.size() <= spent.left) {
        auto runs = run_lbfgsb_on_pool(objective, candidates, *search.pool_bounds,
                                       spent.left / candidates.size());
        std::uint64_t used = 0;
        for (const auto& r : runs) {
          if (r) used = saturating_add(used, r->n_iter);
        }
        // Each run kept within its share, so `used` never exceeds what is left.
        spent.charge(used);
        offer_all(best, std::move(runs), label);
      }
    } else {
      for (Vec& start : candidates) {
        if (spent.left == 0) break;
        run_and_offer(std::move(start));
      }
    }
  }
  if (best) return nm_refinement(objective, std::move(*best), n, spent);
  return nelder_mead_fallback(objective, x0, spent);
}

// The gradient that scales the spread of the hybrid and adaptive starts,
// taken on a copy so the caller's objective keeps its caches.
TextResult<Vec> start_gradient(const SarimaxObjective& objective, std::span<const double> x0) {
  return objective.clone().analytical_gradient_negloglike(x0);
}

// A converged run whose slope at its end is below this has nothing worth
// looking for: over 518 fits in units of order one, those below 1e-4 gained
// at most 2.6e-7 from a continuation.
constexpr double CONTINUATION_SLOPE = 1e-4;
// Above that slope the quadratic model of the end point decides: a positive
// definite Hessian that predicts a gain below this leaves the point as it is
// (over the same fits, a prediction below 1e-6 came true to at most 3.3e-6).
// A slope of 2e-4 can hide a gain of 1 (an MA root tending to the unit
// circle leaves little slope in the unconstrained coordinates), so the slope
// alone cannot judge.
constexpr double CONTINUATION_GAIN = 1e-6;

// L-BFGS-B reports convergence when an iteration lowers the cost by less than
// a relative 1e-7·eps·|f|, which a run on a gentle slope along a curved
// ridge can meet far from the top (|∂ℓ/∂φ| = 4 on Nile's ARMA(1,1)), and a
// run stopped by the box of a block used as it stands has not reached the
// maximum either when the slope still points out of it (Lake Huron's
// ARMA(1,1) with a slope peaks at φ = 0.99974): the box only keeps the search
// in bounds, the model admits any coefficients there. So a converged run that
// still sees a slope and a gain continues with BFGS from its end point, from
// the curvature measured there when it is positive definite, and the better
// point stands. The continuation's iterations are added to the count, and
// its own convergence test speaks for the point it found.
RunnerResult continue_converged_run(const SarimaxObjective& objective, const RunnerResult& first,
                                    std::uint64_t maxiter) {
  if (first.end_slope && *first.end_slope < CONTINUATION_SLOPE) return first;
  SarimaxObjective probe = objective.clone();
  const auto g = probe.analytical_gradient_negloglike(first.x);
  Eigen::MatrixXd start_inverse;
  if (g && g->size() == first.x.size()) {
    if (auto hessian = runners::gradient_difference_hessian(probe, first.x, *g)) {
      const Eigen::LLT<Eigen::MatrixXd> llt(*hessian);
      if (llt.info() == Eigen::Success) {
        const Eigen::Map<const Eigen::VectorXd> gv(g->data(), static_cast<Eigen::Index>(g->size()));
        if (0.5 * gv.dot(llt.solve(gv)) < CONTINUATION_GAIN) return first;
        start_inverse = llt.solve(Eigen::MatrixXd::Identity(hessian->rows(), hessian->cols()));
      }
    }
  }
  if (start_inverse.size() == 0) {
    start_inverse = runners::bfgs_initial_inverse_hessian(g, first.x.size());
  }
  auto more =
      runners::run_bfgs_continuation(std::move(probe), first.x, std::move(start_inverse), maxiter);
  if (!more || is_penalty(more->f) || !(more->f < first.f)) return first;
  more->n_iter = saturating_add(first.n_iter, more->n_iter);
  return std::move(*more);
}

}  // namespace

std::size_t automatic_start_count(const SarimaxConfig& config, std::size_t n) {
  if (config.order.P > 0) return n < 4 ? 2 : 3;
  if (n >= 4) return 3;
  if (n == 3 || config.order.Q > 0) return 2;
  return n >= 2 ? 1 : 0;
}

void try_update_best(std::optional<BestRecord>& best, Vec x, bool converged, std::string label,
                     double f) {
  if (is_penalty(f)) return;
  if (!best || f < best->f) best = BestRecord{std::move(x), f, converged, std::move(label)};
}

void EvalBudget::charge(std::uint64_t count) {
  const std::uint64_t used = std::min(left, count);
  left -= used;
  total = saturating_add(total, used);
}

std::vector<Vec> lcg_perturbed_starts(std::span<const double> x0, std::size_t n, std::size_t count,
                                      std::uint64_t budget_left) {
  if (budget_left == 0) return {};
  if (n == 0) return std::vector<Vec>(count);
  if (x0.size() < n) throw std::logic_error("lcg_perturbed_starts: start shorter than n");
  std::uint64_t state = PERTURBED_SEED;
  std::vector<Vec> starts(count, Vec(x0.begin(), x0.end()));
  for (Vec& x : starts) {
    for (std::size_t i = 0; i < n; ++i) {
      const double u = static_cast<double>(lcg_next(state) >> 33) * 0x1p-31;
      const double scale = std::fabs(x[i]) > 0.1 ? 0.5 * std::fabs(x[i]) : 0.1;
      x[i] = x[i] + scale * (u - 0.5);
    }
  }
  return starts;
}

ScaledStartGenerator::ScaledStartGenerator(const TextResult<Vec>& gradient,
                                           std::span<const double> x0,
                                           std::span<const double> centre, std::uint64_t seed)
    : x0_(x0.begin(), x0.end()),
      centre_(centre.begin(), centre.end()),
      shares_(x0.size()),
      widths_(x0.size()),
      state_(seed) {
  const std::size_t n = x0.size();
  if (centre.size() != n) throw std::logic_error("scaled starts: centre length differs from x0");
  const Vec ones(n, 1.0);
  const Vec& g = gradient && gradient->size() == n ? *gradient : ones;
  // fmax drops a NaN operand: NaN entries neither set the scale nor get more
  // than the smallest share, and a NaN coordinate gets the smallest width.
  double gmax = 0.0;
  for (double gi : g) gmax = std::fmax(gmax, std::fabs(gi));
  const double scale = std::fmax(gmax, 1e-12);
  for (std::size_t i = 0; i < n; ++i) {
    shares_[i] = std::fmax(std::fabs(g[i]) / scale, 0.1);
    widths_[i] = std::fmax(0.6 * std::fmax(std::fabs(x0[i]), std::fabs(centre[i])), 0.5);
  }
}

double ScaledStartGenerator::next_unit() {
  return static_cast<double>(lcg_next(state_) >> 32) / 4294967295.0;
}

std::vector<Vec> ScaledStartGenerator::starts(double amplitude, std::size_t count,
                                              const SarimaxConfig& config) {
  std::vector<Vec> out;
  for (std::size_t k = 0; k < count; ++k) {
    Vec x(centre_.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      x[i] = centre_[i] + ((amplitude * shares_[i]) * widths_[i]) * (2.0 * next_unit() - 1.0);
    }
    if (passes_cancellation_filter(x, config)) out.push_back(std::move(x));
  }
  return out;
}

Vec ScaledStartGenerator::jitter() {
  Vec x(x0_.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = x0_[i] + (widths_[i] * 0.1) * (2.0 * next_unit() - 1.0);
  }
  return x;
}

void grid_ma_initialization(const SarimaxObjective& objective, const SarimaxConfig& config,
                            std::size_t n, EvalBudget& budget, std::optional<BestRecord>& best,
                            std::string_view label) {
  const auto& o = config.order;
  if (!config.enforce_invertibility || o.Q == 0 || budget.left == 0) return;
  if (n != config.n_params()) throw std::logic_error("MA grid: n differs from n_params");
  const CoefficientLayout at(config);
  const std::size_t ma_at = at.ma, seasonal_ma_at = at.sma;
  for (const double c : {-0.3, -0.6, -0.9}) {
    if (budget.left == 0) return;
    Vec point(n, 0.0);
    std::fill_n(point.begin() + static_cast<std::ptrdiff_t>(ma_at), o.q, c);
    std::fill_n(point.begin() + static_cast<std::ptrdiff_t>(seasonal_ma_at), o.Q, c);
    // A zero variance has no unconstrained value: the grid point is skipped.
    auto start = core::transform_params_inner(point, config, false);
    if (!start) continue;
    auto r = runners::run_nelder_mead(objective.clone(), std::move(*start), budget.left);
    if (!r) continue;
    budget.charge(r->n_iter);
    try_update_best(best, std::move(r->x), r->converged, std::string(label), r->f);
  }
}

StrategyOutcome nm_refinement(const SarimaxObjective& objective, BestRecord best, std::size_t n,
                              EvalBudget& budget) {
  // With one coordinate the simplex is a segment: the local runs have
  // already done what it could.
  if (n >= 2 && budget.left > 0) {
    if (auto r = runners::run_nelder_mead(objective.clone(), best.x, budget.left)) {
      budget.charge(r->n_iter);
      if (r->f < best.f) {
        return {std::move(r->x), r->f, budget.total, r->converged, best.label + "+nm"};
      }
    }
  }
  return {std::move(best.x), best.f, budget.total, best.converged, std::move(best.label)};
}

StrategyResult fit_lbfgsb_multi(const SarimaxObjective& objective, std::span<const double> x0,
                                std::size_t n, const SarimaxConfig& config, std::uint64_t budget,
                                std::size_t n_starts) {
  const BoundsList bounds = runners::compute_bounds(config);
  const LocalSearch search{MULTI_LABEL,
                           [&](Vec start, std::uint64_t limit) {
                             return runners::run_lbfgsb(objective, std::move(start), bounds, limit);
                           },
                           &bounds};
  return multi_start(objective, x0, n, config, budget, n_starts, search);
}

StrategyResult fit_lbfgs_argmin(const SarimaxObjective& objective, std::span<const double> x0,
                                std::size_t n, const SarimaxConfig& config, std::uint64_t budget,
                                std::size_t n_starts) {
  const LocalSearch search{LBFGS_LABEL, [&](Vec start, std::uint64_t limit) {
                             return runners::run_lbfgs(objective.clone(), std::move(start), limit);
                           }};
  return multi_start(objective, x0, n, config, budget, n_starts, search);
}

StrategyResult fit_lbfgsb_single(const SarimaxObjective& objective, std::span<const double> x0,
                                 const SarimaxConfig& config, std::uint64_t maxiter,
                                 bool escalate) {
  const std::size_t n = x0.size();
  const auto first = runners::run_lbfgsb(objective, Vec(x0.begin(), x0.end()),
                                         runners::compute_bounds(config), maxiter);
  const std::size_t n_starts = automatic_start_count(config, n);
  // A run that ended on the penalty found nothing, so it falls back as a
  // failed one does; so does a multi-start that found nothing either.
  if (!first || is_penalty(first->f)) {
    auto multi = fit_lbfgsb_multi(objective, x0, n, config, maxiter, n_starts);
    if (multi && !is_penalty(multi->f)) {
      multi->label += " (fallback)";
      return multi;
    }
    return nelder_mead_fallback(objective, x0, EvalBudget{maxiter});
  }
  const RunnerResult run =
      first->converged ? continue_converged_run(objective, *first, maxiter) : *first;
  if (escalate && on_cancellation_ridge(run.x, config)) {
    auto multi = fit_lbfgsb_multi(objective, x0, n, config, maxiter, n_starts);
    if (multi && multi->f < run.f - ESCALATION_MARGIN) {
      RunnerResult better{std::move(multi->x), multi->f, std::max(run.n_iter, multi->n_iter),
                          multi->converged, std::nullopt};
      if (better.converged) better = continue_converged_run(objective, better, maxiter);
      return StrategyOutcome{std::move(better.x), better.f, better.n_iter, better.converged,
                             multi->label + " (cancellation escalation)"};
    }
  }
  return StrategyOutcome{run.x, run.f, run.n_iter, run.converged, "lbfgsb"};
}

StrategyResult fit_lbfgsb_hybrid(const SarimaxObjective& objective, std::span<const double> x0,
                                 std::size_t n, const SarimaxConfig& config, std::uint64_t budget,
                                 std::size_t n_starts) {
  auto first = fit_lbfgsb_multi(objective, x0, n, config, budget, n_starts);
  if (!first) return first;
  std::optional<BestRecord> best;
  try_update_best(best, first->x, first->converged, std::string(HYBRID_LABEL), first->f);

  ScaledStartGenerator generator(start_gradient(objective, x0), x0, first->x, HYBRID_SEED);
  const std::vector<Vec> candidates =
      generator.starts(1.5, std::max(n_starts, MIN_SCALED_STARTS), config);
  if (!candidates.empty() && pool_allowed()) {
    // Restarts have their own allowance and are not charged: n_iter stays
    // the first phase's.
    offer_all(best,
              run_lbfgsb_on_pool(objective, candidates, runners::compute_bounds(config),
                                 std::max(budget / 2, MIN_RESTART_EVALS)),
              HYBRID_LABEL);
  }
  first->label = HYBRID_LABEL;
  // No best: the first phase ended on the penalty (and so is not converged).
  if (!best) return first;
  return StrategyOutcome{std::move(best->x), best->f, first->n_iter, best->converged,
                         std::move(best->label)};
}

StrategyResult fit_lbfgsb_adaptive_restart(const SarimaxObjective& objective,
                                           std::span<const double> x0, const SarimaxConfig& config,
                                           std::uint64_t maxiter, std::size_t n_starts) {
  auto first = fit_lbfgsb_single(objective, x0, config, maxiter);
  std::optional<BestRecord> best;
  Vec centre(x0.begin(), x0.end());
  if (first && !is_penalty(first->f)) {
    best = BestRecord{first->x, first->f, first->converged, first->label};
    centre = first->x;
  }

  ScaledStartGenerator generator(start_gradient(objective, x0), x0, centre, ADAPTIVE_SEED);
  std::vector<Vec> candidates =
      generator.starts(1.0, std::max(n_starts, MIN_SCALED_STARTS), config);
  if (passes_cancellation_filter(x0, config)) candidates.emplace_back(x0.begin(), x0.end());
  if (Vec near = generator.jitter(); passes_cancellation_filter(near, config)) {
    candidates.push_back(std::move(near));
  }
  if (!candidates.empty() && pool_allowed()) {
    offer_all(best,
              run_lbfgsb_on_pool(objective, candidates, runners::compute_bounds(config),
                                 std::max(maxiter, MIN_RESTART_EVALS)),
              ADAPTIVE_LABEL);
  }
  // Nothing usable anywhere: a second single fit from x0 would repeat the
  // first one exactly, so its result stands.
  if (!best) return first;
  return StrategyOutcome{std::move(best->x), best->f, maxiter, best->converged,
                         std::move(best->label)};
}

StrategyResult fit_bfgs_single(const SarimaxObjective& objective, std::span<const double> x0,
                               const SarimaxConfig& /*config*/, std::uint64_t maxiter) {
  auto r = runners::run_bfgs(objective.clone(), Vec(x0.begin(), x0.end()), maxiter);
  if (r && !is_penalty(r->f)) {
    return StrategyOutcome{std::move(r->x), r->f, r->n_iter, r->converged, "bfgs"};
  }
  return nelder_mead_fallback(objective, x0, EvalBudget{maxiter});
}

}  // namespace peltaro::estimation::multistart
