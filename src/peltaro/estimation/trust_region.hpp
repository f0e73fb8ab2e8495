#pragma once
// Quasi-Newton trust-region searches: the full objective with a final
// coordinate-wise polish of the regression coefficients, and the profiled
// objective with the regression coefficients concentrated out.

#include <Eigen/Dense>
#include <cstdint>
#include <functional>
#include <span>

#include "peltaro/core/error.hpp"
#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/regression_polish.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::trust_region {

struct TrustRegionStep {
  Vec p;             // the step
  double norm = 0.0;  // its Euclidean norm
  double pred = 0.0;  // predicted reduction, at least 1e-30
};

// p = −H·g, cut back to radius r.
TrustRegionStep trust_region_step(double r, const Eigen::MatrixXd& H, std::span<const double> g);

core::Result<StrategyOutcome> fit_trust_region_single(const SarimaxObjective& objective,
                                                      std::span<const double> x0,
                                                      const SarimaxConfig& config,
                                                      std::uint64_t maxiter);

core::Result<StrategyOutcome> fit_profile_trust_region(const SarimaxObjective& objective,
                                                       std::span<const double> x0,
                                                       const SarimaxConfig& config,
                                                       std::uint64_t maxiter,
                                                       bool start_params_given);

// Gradient of the cost at a point; a failure, or a vector of another length,
// leaves the search with the gradient and inverse Hessian it has.
using PointGradient = std::function<TextResult<Vec>(std::span<const double>)>;

// The end of one search: its last accepted point (the lowest seen) and cost.
struct SearchResult {
  Vec x;
  double f = 0.0;
  std::uint64_t n_iter = 0;
  bool converged = false;
};

// The iteration shared by both variants, from x0 with cost f0 and gradient g0
// (of the same length): at most `maxiter` steps, each accepted only when it
// lowers the cost by more than a tenth of the predicted reduction. Stops
// converged on a gradient norm below 1e-5 or on the third collapse of the
// radius below 1e-8; after the last step it is converged when the gradient
// norm is below 1e-3. A run whose cost is the penalty or not finite is never
// converged.
SearchResult trust_region_search(const PointCost& cost, const PointGradient& gradient, Vec x0,
                                 double f0, Vec g0, std::uint64_t maxiter);

}  // namespace peltaro::estimation::trust_region
