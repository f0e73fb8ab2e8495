#pragma once
// Forecasts from a regular list of origins inside the sample, as they would
// have been made at each origin, from one filter pass over the whole series.

#include <cstddef>
#include <span>
#include <vector>

#include "peltaro/core/error.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::apply {

// Row i of each list is the `horizon`-step forecast from origins[i]: the
// state predicted for observation t = origins[i] from observations 0 … t − 1,
// carried forward, so it forecasts observations t … t + horizon − 1.
struct RollingForecastOutput {
  std::vector<std::size_t> origins;  // ascending
  std::vector<core::Vec> mean;
  std::vector<core::Vec> variance;
  std::vector<core::Vec> ci_lower;
  std::vector<core::Vec> ci_upper;
};

// Origins start, start + step, … up to the largest origin: n − 1, or
// n − horizon when regressor columns are given, so that every forecast finds
// its future regressor rows inside the sample. Every origin uses the scale of
// the one pass over all n observations. `exog` may be null.
core::Result<RollingForecastOutput> rolling_forecast_pipeline(
    std::span<const double> y, const core::SarimaxConfig& config,
    const core::SarimaxParams& params, std::size_t start, std::size_t step, std::size_t horizon,
    const core::Columns* exog, double alpha);

}  // namespace peltaro::apply
