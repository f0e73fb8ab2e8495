#include "peltaro/estimation/regression_polish.hpp"

#include <algorithm>
#include <cmath>

#include "peltaro/estimation/brent.hpp"

namespace peltaro::estimation {
namespace {

constexpr std::size_t MAX_PASSES = 6;
// Trials that halve the step before a coordinate is given up, and doublings
// of the step while the cost keeps falling.
constexpr int MAX_BRACKET_TRIALS = 24;
constexpr int MAX_EXPANSIONS = 24;

// The least decrease of the cost worth a move or another sweep.
double decrease_margin(double f) { return std::fmax(std::fmax(std::fabs(f), 1.0) * 1e-9, 1e-8); }

// Sample standard deviation, at least `floor`; 1 when it is undefined, zero
// or not finite.
double spread(std::span<const double> v, double floor) {
  if (v.size() < 2) return 1.0;
  double mean = 0.0;
  for (double e : v) mean += e;
  mean /= static_cast<double>(v.size());
  double ss = 0.0;
  for (double e : v) ss += (e - mean) * (e - mean);
  const double var = ss / static_cast<double>(v.size() - 1);
  return var > 0.0 && std::isfinite(var) ? std::fmax(std::sqrt(var), floor) : 1.0;
}

// How many units of coefficient j one unit of the series is worth, at least 1.
double scale_ratio(std::span<const double> y, const Columns* exog, std::size_t j) {
  if (exog == nullptr || exog->size() <= j) return 1.0;
  return std::fmax(spread(y, 1.0) / spread((*exog)[j], 1e-12), 1.0);
}

// One line search along coordinate i of x (cost f); `trial` equals x and is
// left equal to it. Returns the cost after the search.
double search_coordinate(const PointCost& cost, Vec& x, Vec& trial, std::size_t i, double f,
                         double ratio) {
  const double c = x[i];
  const double tol = decrease_margin(f);
  const auto at = [&](double v) {
    trial[i] = v;
    return cost(trial);
  };
  double h = 0.25 * std::fmax(std::fmax(std::fabs(c), ratio), 1.0);
  const double xtol = (std::fabs(c) + 1.0) * 1e-8;

  // A step in either direction that lowers the cost, halving until one does.
  double f_minus = 0.0, f_plus = 0.0;
  bool found = false;
  for (int trial_no = 0; trial_no < MAX_BRACKET_TRIALS; ++trial_no) {
    f_minus = at(c - h);
    f_plus = at(c + h);
    if (f_minus < f || f_plus < f) {
      found = true;
      break;
    }
    h *= 0.5;
    if (h <= xtol) break;
  }
  if (!found) {
    trial[i] = c;
    return f;
  }
  const double direction = f_minus < f && f_minus <= f_plus ? -1.0 : 1.0;
  double p1 = c + direction * h;
  double f1 = direction < 0.0 ? f_minus : f_plus;
  double previous = c;

  // Double the step while the cost keeps falling; the first rise brackets
  // the minimum between the point before p1 and the new point.
  bool bracketed = false;
  double p_new = p1;
  for (int e = 0; e < MAX_EXPANSIONS; ++e) {
    h *= 2.0;
    p_new = p1 + direction * h;
    const double f_new = at(p_new);
    if (f_new < f1 && std::isfinite(f_new)) {
      previous = p1;
      p1 = p_new;
      f1 = f_new;
    } else {
      bracketed = true;
      break;
    }
  }
  double best_x = p1, best_f = f1;
  if (bracketed) {
    const BrentMinimum m =
        brent_minimize(at, std::fmin(previous, p_new), std::fmax(previous, p_new));
    if (std::isfinite(m.f) && m.f < f1) best_x = m.x, best_f = m.f;
  }
  if (f - best_f > tol) {
    x[i] = best_x;
    f = best_f;
  }
  trial[i] = x[i];
  return f;
}

}  // namespace

double polish_regression(const PointCost& cost, Vec& x, double f, std::size_t first,
                         std::size_t count, std::span<const double> y, const Columns* exog) {
  // Coordinates past the end of the point are not there to search.
  count = first < x.size() ? std::min(count, x.size() - first) : 0;
  if (count == 0) return f;
  std::vector<double> ratios(count);
  for (std::size_t j = 0; j < count; ++j) ratios[j] = scale_ratio(y, exog, j);
  const std::size_t passes = std::min(std::max(count + 1, std::size_t{2}), MAX_PASSES);
  Vec trial = x;
  for (std::size_t pass = 0; pass < passes; ++pass) {
    const double f_pass_start = f;
    for (std::size_t j = 0; j < count; ++j) {
      f = search_coordinate(cost, x, trial, first + j, f, ratios[j]);
    }
    if (!(f_pass_start - f > decrease_margin(f_pass_start))) break;
  }
  return f;
}

}  // namespace peltaro::estimation
