#pragma once
// One evaluation of one series at fixed model parameters.

#include <optional>
#include <span>
#include <utility>

#include "peltaro/core/error.hpp"
#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"
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

// What one filter pass at fixed parameters runs on: the series and regressor
// columns (under simple differencing the differenced ones, owned here;
// otherwise the caller's, borrowed), the state space built for them and its
// initial state.
class FilterModel {
 public:
  // Prepares the data, builds the system and checks a given variance, in
  // this order; the first failure is returned. `exog` may be null.
  static Result<FilterModel> build(std::span<const double> y, const SarimaxParams& params,
                                   const SarimaxConfig& config, const Columns* exog);

  [[nodiscard]] std::span<const double> series() const {
    return prepared_ ? std::span<const double>(prepared_->series) : y_;
  }
  [[nodiscard]] const Columns* columns() const {
    if (!prepared_) return exog_;
    return prepared_->columns ? &*prepared_->columns : nullptr;
  }
  [[nodiscard]] const StateSpace& state_space() const { return ss_; }
  [[nodiscard]] const KalmanInit& init() const { return init_; }

 private:
  std::span<const double> y_;
  const Columns* exog_ = nullptr;
  std::optional<PreparedEndog> prepared_;
  StateSpace ss_;
  KalmanInit init_;
};

// The log-likelihood of `y` under the model at `params` (model coordinates).
Result<KalmanOutput> kalman_eval(std::span<const double> y, const SarimaxParams& params,
                                 const SarimaxConfig& config, const Columns* exog);

}  // namespace peltaro::core
