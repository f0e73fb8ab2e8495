#pragma once
// The h-step forecast of a series at given model parameters: one filter pass
// over the data, then the state predicted past the last observation carried
// forward.

#include <cstddef>
#include <span>

#include "peltaro/apply/forecast.hpp"
#include "peltaro/core/error.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::apply::forecast {

// Forecasts of y itself, also under simple differencing: the differenced
// series is filtered, and its state is carried forward inside the model's
// integrated form, whose differencing states hold the known last values of
// the series net of the regression effect. Means and variances are thus
// those of the integrated forecast errors, covariances between steps
// included. `exog` holds the in-sample columns (n rows each) and
// `future_exog` the regressors of the forecast steps, both undifferenced;
// either may be null.
core::Result<ForecastResult> forecast_pipeline(std::span<const double> y,
                                               const core::SarimaxConfig& config,
                                               const core::SarimaxParams& params,
                                               std::size_t steps, const core::Columns* exog,
                                               const core::Columns* future_exog, double alpha);

}  // namespace peltaro::apply::forecast
