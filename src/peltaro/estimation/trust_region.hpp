#pragma once
// Quasi-Newton trust-region searches: the full objective with a final
// coordinate-wise polish of the regression coefficients, and the profiled
// objective with the regression coefficients concentrated out.

#include <Eigen/Dense>
#include <cstdint>
#include <span>

#include "peltaro/core/error.hpp"
#include "peltaro/estimation/objective.hpp"
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

}  // namespace peltaro::estimation::trust_region
