#pragma once
// Start values for a fit: cheap least-squares regressions on the differenced
// series (trend, regressors, and a Hannan-Rissanen two-stage fit for the
// non-seasonal and for the seasonal ARMA block). No Kalman filter runs here.
// Every regression that cannot be carried out falls back to zeros or to a
// simple moment, so the only failure is a parameter vector of the wrong
// length. All functions are pure and may run on any number of threads.

#include <cstdint>
#include <optional>
#include <span>

#include "peltaro/core/error.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

// Checks that the raw series (also under simple differencing) is longer than
// both the state dimension plus one and the number of parameters, then
// returns a copy of `start` when given (its length is the caller's to check)
// or the computed start values. Model (constrained) coordinates, flat order.
core::Result<Vec> validate_and_get_start_params(std::span<const double> y,
                                                const SarimaxConfig& config,
                                                const Vec* start, const Columns* exog);

namespace start_params {

// Outcome of a two-stage regression: one coefficient per AR lag and per MA
// lag, in the order of the lag sets, and the innovation variance (≥ 1e-6).
struct TwoStage {
  Vec ar;
  Vec ma;
  double sigma2 = 0.0;
};

// What becomes of an ARMA block whose regression estimate is not safely
// stationary (AR) or invertible (MA): zeroed, or scaled inside its region
// with its shape kept.
enum class UnsafeBlock { Zero, PullIn };

// The full flat start vector (trend, regression, AR, MA, seasonal AR,
// seasonal MA, then sigma2 unless the scale is concentrated) for the raw
// series. Expects a series long enough for the model (see above); fails only
// when the number of columns given differs from `n_exog`.
core::Result<Vec> compute_start_params(std::span<const double> y, const SarimaxConfig& config,
                                       const Columns* exog,
                                       UnsafeBlock unsafe = UnsafeBlock::Zero);

// `x` differenced d times at lag 1; too short a series becomes empty.
Vec difference(std::span<const double> x, std::uint64_t d);

// `x` differenced D times at lag s; a copy when s = 0 or D = 0, empty as soon
// as a pass meets a series no longer than s.
Vec seasonal_difference(std::span<const double> x, std::uint64_t D, std::uint64_t s);

// Every column through `difference`, then `seasonal_difference`.
Columns difference_exog_cols(const Columns& columns, std::uint64_t d, std::uint64_t D,
                             std::uint64_t s);

// Least-squares coefficients of `target` on the columns, over as many rows as
// the shortest of them has: minimum-norm, singular values at or below 1e-12
// counting as zero. No columns give an empty vector, an empty target zeros;
// fewer rows than columns, or values that are not finite, give no solution.
std::optional<Vec> ols_pinv(const Columns& columns, std::span<const double> target);

// Hannan-Rissanen: a long autoregression of order twice the largest MA lag
// estimates the innovations, then the series is regressed on its AR lags and
// the lagged innovations. No result when the series is too short for either
// stage or a regression has no solution. Lags are positive.
std::optional<TwoStage> css_two_stage(std::span<const double> y,
                                      std::span<const std::uint64_t> ar_lags,
                                      std::span<const std::uint64_t> ma_lags);

// y[t] − Σ ar[k−1]·y[t−k] for t = len(ar) … n−1; a copy when `ar` is empty.
Vec ar_residuals(std::span<const double> y, std::span<const double> ar);

// y[t] − Σ sar[k−1]·y[t−k·s] for t = len(sar)·s … n−1; empty when the series
// is not longer than len(sar)·s.
Vec seasonal_ar_residuals(std::span<const double> y, std::span<const double> sar,
                          std::uint64_t s);

}  // namespace start_params
}  // namespace peltaro::estimation
