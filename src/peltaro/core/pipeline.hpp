#pragma once
// One evaluation of one series at fixed model parameters.

#include <optional>
#include <span>
#include <utility>

#include "peltaro/core/error.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::core {

struct PreparedEndog {
  Vec series;
  std::optional<Columns> columns;  // present only when differenced columns were made
};

// Simple differencing of the series and its regressor columns, when the
// configuration asks for it; otherwise a copy of the series and no columns.
Result<PreparedEndog> prepare_endog(std::span<const double> y, const SarimaxConfig& config,
                                    const Columns* exog);

// A variance given by the caller must be a positive finite number before it
// reaches the state covariance; with the scale concentrated there is none.
std::optional<SarimaxError> check_variance(const SarimaxParams& params, const SarimaxConfig& config);

// The log-likelihood of `y` under the model at `params` (model coordinates).
Result<KalmanOutput> kalman_eval(std::span<const double> y, const SarimaxParams& params,
                                 const SarimaxConfig& config, const Columns* exog);

}  // namespace peltaro::core
