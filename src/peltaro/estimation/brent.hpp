#pragma once
// Brent's one-dimensional minimiser: parabolic interpolation through the
// three best points, with a golden-section step wherever the parabola is
// untrustworthy. It needs no derivative and tolerates evaluations that fail
// (returned as +∞) inside the interval.

#include <functional>

namespace peltaro::estimation {

struct BrentMinimum {
  double x = 0.0;  // the lowest point evaluated
  double f = 0.0;  // its value
};

// Minimises f over [a, b] (a ≤ b), starting from the golden-section point
// a + 0.381966…·(b − a). Stops when the interval around the best point x is
// within 2·(1e-5·|x| + 1.49e-8) of it, or after 40 steps.
BrentMinimum brent_minimize(const std::function<double(double)>& f, double a, double b);

}  // namespace peltaro::estimation
