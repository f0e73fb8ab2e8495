#pragma once
// Other basins of the likelihood for the default fit. With four or more ARMA
// coefficients the likelihood often has several local maxima, and the run
// from the regression start climbs the nearest. The most frequent higher
// maximum a single run misses holds an AR and an MA factor that nearly
// cancel (near the unit circle with a trend, where together they carry a
// deterministic trend). Such a point is reached from the model with one AR
// and one MA coefficient fewer, fitted first and lifted into the full model
// through a common factor (1 − ρ·B); the others from the start with one
// kind of block set to zero. Each start runs the default strategy's single
// run with its continuation (not its multi-start escalation, which these
// starts, built on a common factor, would set off for nothing), and the best
// end point stands.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::basin_search {

// Whether the default fit searches other basins: four or more ARMA
// coefficients, and a state vector small enough for a handful of extra runs.
bool applies(const SarimaxConfig& config);

// The model with one AR and one MA coefficient fewer in the non-seasonal
// (`seasonal` false) or the seasonal pair, or nothing when that pair lacks
// either kind. A seasonal part left with neither coefficients nor
// differencing loses its period too.
std::optional<SarimaxConfig> reduced_pair(const SarimaxConfig& config, bool seasonal);

// The full model's start from the reduced model's parameters (model
// coordinates, flat order): the pair's AR polynomial and its MA polynomial
// both times (1 − ρ·B), B the lag of that pair, so that the two new factors
// cancel; the trend coefficients times 1 − ρ, which keeps the mean of a
// constant trend. Regression coefficients and σ² are carried over.
Vec lift(std::span<const double> reduced_params, const SarimaxConfig& reduced,
         const SarimaxConfig& full, bool seasonal, double rho);

// `start` with every AR (`autoregressive` true) or every MA coefficient set
// to zero. Zeroing the AR terms divides the trend coefficients by φ(1)·Φ(1)
// (when that is at least 0.01 in size), which keeps the mean of a constant
// trend.
Vec without_blocks(std::span<const double> start, const SarimaxConfig& config,
                   bool autoregressive);

// Fits a reduced model by the default strategy, without searching further;
// its parameters in model coordinates, or nothing when the fit failed.
using ReducedFit = std::function<std::optional<Vec>(const SarimaxConfig&)>;

// Runs the default strategy from each other start (`raw_start` is the
// regression start before any pre-step) and returns the best of `first` and
// those runs; `first` stands unless a run ends higher.
StrategyOutcome search(const SarimaxObjective& objective, const SarimaxConfig& config,
                       std::span<const double> raw_start, StrategyOutcome first,
                       std::uint64_t maxiter, const ReducedFit& fit_reduced);

}  // namespace peltaro::estimation::basin_search
