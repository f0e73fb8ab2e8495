#pragma once
// Optimisation strategies over a SarimaxObjective: one or more local runs
// from different starting points, the best kept by a strict-improvement
// rule, a shared evaluation budget, and Nelder-Mead when nothing succeeds.
// Perturbed starts come from fixed-seed generators, so a fit gives the same
// result on every call and at every pool size.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
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

StrategyResult fit_lbfgsb_single(const SarimaxObjective& objective, std::span<const double> x0,
                                 const SarimaxConfig& config, std::uint64_t maxiter);
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

// The record takes (x, f) only when it is empty or f is strictly lower.
void try_update_best(std::optional<BestRecord>& best, Vec x, bool converged, std::string label,
                     double f);

std::vector<Vec> lcg_perturbed_starts(std::span<const double> x0, std::size_t n, std::size_t count,
                                      std::uint64_t budget_left);

}  // namespace peltaro::estimation::multistart
