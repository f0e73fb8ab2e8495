#pragma once
// The coordinates in which the bounded search sees a trend: the mean the
// trend implies, with a slope measured over the whole sample, instead of the
// intercept and slope of the AR recursion per time step.
//
// The trend enters the model as the intercept c_t of φ(L)Φ(L^s)·x_t = c_t + …,
// so the mean it implies is c / (φ(1)·Φ(1)). Near a unit root a small change
// of the AR coefficients moves that mean a long way: with c and φ as
// coordinates the likelihood is a long curved valley, and the search makes
// progress so slow that its relative-reduction test stops it well short of
// the maximum (Lake Huron, ARMA(1,1) with a constant: 0.006 short). A slope
// multiplies a time index that runs to n, so its curvature is about n² times
// that of a constant, with the same effect. With the mean as the coordinate
// and the slope as the drift over the sample, both are gone. Only the
// search's path changes: the objective, the points it returns and the other
// coordinates (and their bounds) are the objective's own.

#include <cstddef>
#include <optional>
#include <span>

#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

class TrendCoordinates {
 public:
  // Identity for a model without trend. The mean form needs AR terms whose
  // polynomial at x0 implies a finite mean (φ(1)·Φ(1) away from zero);
  // otherwise only the slope is rescaled. `n_obs` is the series length.
  TrendCoordinates(const SarimaxConfig& config, std::span<const double> x0, std::size_t n_obs);

  [[nodiscard]] bool active() const { return k_trend_ > 0; }

  // The search's point for the objective's point x.
  [[nodiscard]] Vec to_search(std::span<const double> x) const;
  // The objective's point for a search point z (same length).
  void to_objective(std::span<const double> z, std::span<double> x) const;
  // Carries a gradient in the objective's coordinates, taken at
  // to_objective(z), to the search's coordinates, in place.
  void gradient_to_search(std::span<const double> z, std::span<double> g) const;

 private:
  struct Factors {
    double a = 1.0;   // φ(1)·Φ(1): the sum of the reduced AR coefficients a_i (a_0 = 1)
    double m1 = 0.0;  // Σ i·a_i
  };
  // The factors at a point (its AR coordinates); 1 and 0 without the mean form.
  [[nodiscard]] std::optional<Factors> factors(std::span<const double> x) const;

  SarimaxConfig config_;
  std::size_t k_trend_ = 0;
  bool mean_form_ = false;
  double time_scale_ = 1.0;  // the slope's search coordinate is slope · time_scale_
};

}  // namespace peltaro::estimation
