#pragma once
// Optimisation strategies over a SarimaxObjective: one or more local runs
// from different starting points, the best kept by a strict-improvement
// rule, a shared evaluation budget, and Nelder-Mead when nothing succeeds.
// Perturbed starts come from fixed-seed generators, so a fit gives the same
// result on every call and at every pool size. A run whose cost is still the
// penalty found no point it could evaluate: it counts as failed, so the
// fallbacks run, and a result returned at the penalty is never converged.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "peltaro/core/error.hpp"
#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::multistart {

using StrategyResult = core::Result<StrategyOutcome>;

struct BestRecord {
  Vec x;
  double f = 0.0;
  bool converged = false;
  std::string label;
};

// Perturbed starts for a model of n unconstrained coordinates: P > 0 gives 2
// when n < 4, else 3; otherwise 3 when n ≥ 4, 2 when n = 3 or Q > 0, 1 when
// n = 2, else 0.
std::size_t automatic_start_count(const SarimaxConfig& config, std::size_t n);

// `escalate` false leaves out the multi-start that follows a run ending where
// AR and MA roots nearly cancel: for the extra runs of the default fit, whose
// starts are often built on such a factor and whose result is compared with
// the first run's anyway.
StrategyResult fit_lbfgsb_single(const SarimaxObjective& objective, std::span<const double> x0,
                                 const SarimaxConfig& config, std::uint64_t maxiter,
                                 bool escalate = true);
StrategyResult fit_lbfgsb_multi(const SarimaxObjective& objective, std::span<const double> x0,
                                std::size_t n, const SarimaxConfig& config, std::uint64_t budget,
                                std::size_t n_starts);
StrategyResult fit_lbfgs_argmin(const SarimaxObjective& objective, std::span<const double> x0,
                                std::size_t n, const SarimaxConfig& config, std::uint64_t budget,
                                std::size_t n_starts);
StrategyResult fit_lbfgsb_hybrid(const SarimaxObjective& objective, std::span<const double> x0,
                                 std::size_t n, const SarimaxConfig& config, std::uint64_t budget,
                                 std::size_t n_starts);
StrategyResult fit_lbfgsb_adaptive_restart(const SarimaxObjective& objective,
                                           std::span<const double> x0, const SarimaxConfig& config,
                                           std::uint64_t maxiter, std::size_t n_starts);
StrategyResult fit_bfgs_single(const SarimaxObjective& objective, std::span<const double> x0,
                               const SarimaxConfig& config, std::uint64_t maxiter);

// The record takes (x, f) only when it is empty or f is strictly lower, so
// among equal values the one offered first stays. A penalty (or NaN) cost
// never enters: a run that found no point it could evaluate has failed,
// however it ended.
void try_update_best(std::optional<BestRecord>& best, Vec x, bool converged, std::string label,
                     double f);

// The evaluations one strategy may still spend, and those it has spent.
struct EvalBudget {
  std::uint64_t left = 0;
  std::uint64_t total = 0;

  // Takes a run's count, at most what is left, from `left` and adds it to
  // `total` (saturating).
  void charge(std::uint64_t count);
};

// `count` copies of x0 (n coordinates), each coordinate moved either way by
// up to a quarter of its size, or by up to 0.05 when |x_i| ≤ 0.1, from one
// fixed-seed generator running through all starts. None when nothing is
// left to spend.
std::vector<Vec> lcg_perturbed_starts(std::span<const double> x0, std::size_t n, std::size_t count,
                                      std::uint64_t budget_left);

// Starts spread around a centre, each coordinate by a width that grows with
// the size of the start x0 and the centre there, and with its share of the
// largest gradient entry at x0: flat directions are explored less. One
// generator state runs through every draw, kept or not.
class ScaledStartGenerator {
 public:
  // `gradient` is that of the negative log-likelihood at x0; one that failed
  // or has another length than x0 counts as all ones.
  ScaledStartGenerator(const TextResult<Vec>& gradient, std::span<const double> x0,
                       std::span<const double> centre, std::uint64_t seed);

  // `count` draws around the centre with the amplitude factor `amplitude`,
  // keeping those clear of AR/MA cancellation under `config`.
  std::vector<Vec> starts(double amplitude, std::size_t count, const SarimaxConfig& config);
  // One draw around x0 at a tenth of the widths, without the gradient shares.
  Vec jitter();

 private:
  double next_unit();

  Vec x0_;
  Vec centre_;
  Vec shares_;
  Vec widths_;
  std::uint64_t state_;
};

// Nelder-Mead from every MA and seasonal MA coefficient set to −0.3, −0.6
// and −0.9 in turn (all else 0), each run charged and offered to the best
// under `label`. Only for invertible models with a seasonal MA part, while
// the budget lasts; a point that cannot be unconstrained is skipped.
void grid_ma_initialization(const SarimaxObjective& objective, const SarimaxConfig& config,
                            std::size_t n, EvalBudget& budget, std::optional<BestRecord>& best,
                            std::string_view label);

// Nelder-Mead from the best point with what is left of the budget; its point
// replaces the best only when strictly lower, and the label gains "+nm".
// Skipped when n < 2 or nothing is left. n_iter is the budget's total.
StrategyOutcome nm_refinement(const SarimaxObjective& objective, BestRecord best, std::size_t n,
                              EvalBudget& budget);

}  // namespace peltaro::estimation::multistart
