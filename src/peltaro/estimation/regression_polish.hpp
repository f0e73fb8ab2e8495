#pragma once
// A finishing touch for the regression coefficients of a point found by a
// quasi-Newton search: line searches along each coefficient in turn. The
// coefficients of regressors on a very different scale from the series are
// badly conditioned for a search in all coordinates at once, so a cheap
// one-dimensional search often still gains there.

#include <cstddef>
#include <functional>
#include <span>

#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

// Cost of a point: the negative log-likelihood, +∞ where it cannot be evaluated.
using PointCost = std::function<double(std::span<const double>)>;

// Searches x[first], …, x[first + count − 1] one after another, from the
// point x of cost f, and repeats the sweep while it lowers the cost by more
// than a relative 1e-9 (at least 1e-8), for at most max(count + 1, 2) sweeps
// and never more than 6. A coordinate moves only when that lowers the cost
// by more than the same margin. The initial step of coordinate j grows with
// the ratio of the spread of the series `y` to that of regressor column j,
// so that it is on the scale of the coefficient. Updates x and returns its cost.
double polish_regression(const PointCost& cost, Vec& x, double f, std::size_t first,
                         std::size_t count, std::span<const double> y, const Columns* exog);

}  // namespace peltaro::estimation
