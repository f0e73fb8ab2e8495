#pragma once
// Better start values before the main fit: a conditional-sum-of-squares
// estimate, and a fit of the same model under simple differencing. Both
// only propose (model coordinates, flat order); they never fail, every
// problem giving no proposal. The fit driver decides whether to take one.

#include <cstddef>
#include <optional>
#include <span>

#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

// Minimises −CSS from `start` (model coordinates): L-BFGS-B in the box
// [−10, 10] under `limit` counted requests, then Nelder-Mead if that run
// reports an error. `y` and `exog` are raw (undifferenced).
std::optional<Vec> run_css_optimization(std::span<const double> y, const SarimaxConfig& config,
                                        std::span<const double> start, std::size_t limit,
                                        const Columns* exog);

// One bounded fit of the model with simple differencing switched on.
std::optional<Vec> run_sd_warm_start(std::span<const double> y, const SarimaxConfig& config,
                                     const Columns* exog);

}  // namespace peltaro::estimation
