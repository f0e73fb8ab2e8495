#pragma once
// Other basins of the likelihood for the default fit. With four or more ARMA
// coefficients the likelihood often has several local maxima, and the run
// from the regression start climbs the nearest. The most frequent higher
// maximum a single run misses holds an AR and an MA factor that nearly
// cancel (near the unit circle with a trend, where together they carry a
// deterministic trend). Such a point is reached from the model with one AR
// and one MA coefficient fewer, fitted first and lifted into the full model
// through a common factor (1 − ρ·B); the others from the start with one
// kind of block set to zero. The next most frequent, in small models too, is
// that of a series differenced once too often: an MA root near 1, reached
// from the model with one MA coefficient fewer times (1 − 0.9·B), and from
// the first run's end point with its MA part set to 1 − 0.9·B. Models with
// four or more coefficients also start from up to two points drawn around the
// first run's end, for the maxima no structure points to. Each start runs the default strategy's single
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

// Whether the default fit searches other basins: a state vector small
// enough for a handful of extra runs, and four or more ARMA coefficients, or
// a model without seasonal coefficients whose differenced pair has an MA
// part (where only the over-differenced basin is searched). The seasonal
// small models, the airline model first, are left out: for them that one
// basin would double the time of every fit.
bool applies(const SarimaxConfig& config);

// How a reduced model is lifted: a common factor on the AR and the MA
// polynomial of a pair, or a factor on the MA polynomial alone.
enum class Factor { Common, MovingAverage };

// The model with one AR and one MA coefficient fewer in the non-seasonal
// (`seasonal` false) or the seasonal pair, or nothing when that pair lacks
// either kind. A seasonal part left with neither coefficients nor
// differencing loses its period too.
std::optional<SarimaxConfig> reduced_pair(const SarimaxConfig& config, bool seasonal);

// The model with one MA coefficient fewer in the non-seasonal or seasonal
// pair, when that pair is differenced; nothing otherwise. A series
// differenced once too often has an MA root at 1 (the differencing it did
// not need), a basin that a start inside the invertible region seldom finds.
std::optional<SarimaxConfig> reduced_ma(const SarimaxConfig& config, bool seasonal);

// The full model's start from the reduced model's parameters (model
// coordinates, flat order). A common factor multiplies the pair's AR
// polynomial and its MA polynomial both by (1 − ρ·B), B the lag of that
// pair, so that the two new factors cancel, and the trend coefficients by
// 1 − ρ, which keeps the mean of a constant trend. An MA factor multiplies
// the pair's MA polynomial alone and keeps the trend. Regression
// coefficients and σ² are carried over.
Vec lift(std::span<const double> reduced_params, const SarimaxConfig& reduced,
         const SarimaxConfig& full, bool seasonal, double rho, Factor factor);

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
