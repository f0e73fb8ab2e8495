#pragma once
// The units a fit works in. The likelihood of a series multiplied by c is
// that of the series less n·ln c, at parameters whose trend and regression
// coefficients are multiplied by c and variance by c², but a search is not:
// its first steps, its gradient tolerance and its relative-reduction test are
// all taken in the units it is handed, and so are the bounds on the
// log-variance. A series in units of 1e-8 or 1e8, or a regressor of size 1e4
// beside a series of size 1, then stops short of the maximum or at a bound.
//
// So a fit scales the series, and each regressor column, by a power of two
// that brings it to order one, works there, and maps the optimum back. A
// power of two changes no digit of the data, and the approximately diffuse
// states' variance is scaled with the series, so the likelihood searched is
// the caller's up to a constant.

#include <span>

#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

class DataUnits {
 public:
  // Factors for the raw series `y` and columns `exog` of a model: each brings
  // the spread of the differenced data (the differences the model takes)
  // near one. Data without spread keep their units.
  static DataUnits choose(std::span<const double> y, const Columns* exog,
                          const SarimaxConfig& config);

  // The factor of the series.
  [[nodiscard]] double series_factor() const { return series_; }

  [[nodiscard]] Vec scale_series(std::span<const double> y) const;
  [[nodiscard]] Columns scale_columns(const Columns& exog) const;
  // The configuration whose diffuse states match the scaled series: their
  // variance in the fit's units, unless it is a multiple of a concentrated σ².
  [[nodiscard]] SarimaxConfig scale_config(const SarimaxConfig& config) const;

  // Model parameters (flat order) in the caller's units to the fit's, and
  // back. Coefficients of AR and MA polynomials have no units.
  [[nodiscard]] Vec params_to_fit(std::span<const double> params, const SarimaxConfig& config) const;
  [[nodiscard]] Vec params_to_caller(std::span<const double> params,
                                     const SarimaxConfig& config) const;

 private:
  // Multiplies the trend, regression and variance entries of `params` as
  // the data are multiplied by `series` and the columns by `columns[j]`
  // raised to `power` (+1 into the fit's units, −1 back).
  [[nodiscard]] Vec map_params(std::span<const double> params, const SarimaxConfig& config,
                               int power) const;

  double series_ = 1.0;
  Vec columns_;
};

}  // namespace peltaro::estimation
