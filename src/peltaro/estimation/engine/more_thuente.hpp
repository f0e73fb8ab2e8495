#pragma once
// More-Thuente line search: a step along a descent direction that satisfies
// the strong Wolfe conditions, found by MINPACK-2's dcsrch (safeguarded cubic
// and quadratic interpolation, extrapolation factor 4). dcsrch keeps its
// state in arrays owned here, so searches on different threads never meet.

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "peltaro/estimation/engine/problem.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::engine {

struct MoreThuenteOptions {
  double ftol = 1e-4;              // sufficient decrease
  double gtol = 0.9;               // curvature
  double xtol = 1e-10;             // relative width of the bracketing interval
  double stpmin = 0x1p-26;         // the square root of the machine epsilon
  double stpmax = std::numeric_limits<double>::infinity();
  double initial_step = 1.0;
  // A search that still asks for a trial step after this many evaluations
  // fails rather than loop on a pathological function.
  std::uint32_t max_evaluations = 100;
};

// One search's dcsrch state: feed it values, it names the next trial step.
class MoreThuente {
 public:
  explicit MoreThuente(const MoreThuenteOptions& options);

  // Starts at f(0) = f0 with slope dg0 along the direction; the first trial step.
  TextResult<double> start(double f0, double dg0);
  // The cost and slope at the last trial step; the next trial step, or
  // nothing once the search has settled on the last trial step.
  TextResult<std::optional<double>> next(double f, double dg);

 private:
  TextResult<std::optional<double>> call(double f, double dg);

  MoreThuenteOptions options_;
  double step_;
  std::array<char, 60> task_{};
  std::array<int, 2> isave_{};
  std::array<double, 13> dsave_{};
};

// Where a search ended: the point, its cost and its gradient.
struct LineSearchPoint {
  Eigen::VectorXd x, g;
  double cost = 0.0;
};

// Searches from x (cost f, gradient g) along d, writing the accepted point
// into `out`.
template <GradientFunction P>
TextResult<void> more_thuente_search(const P& problem, const MoreThuenteOptions& options,
                                     const Eigen::VectorXd& x, double f, const Eigen::VectorXd& g,
                                     const Eigen::VectorXd& d, LineSearchPoint& out) {
  MoreThuente search(options);
  const auto first = search.start(f, g.dot(d));
  if (!first) return fail_text(first.error());
  double step = *first;
  for (std::uint32_t evaluations = 1;; ++evaluations) {
    out.x = x + step * d;
    const auto cost = cost_and_gradient(problem, out.x, out.g);
    if (!cost) return fail_text(cost.error());
    out.cost = *cost;
    const auto next = search.next(out.cost, out.g.dot(d));
    if (!next) return fail_text(next.error());
    if (!next->has_value()) return {};
    if (evaluations >= options.max_evaluations) {
      return fail_text("line search found no acceptable step in " +
                       std::to_string(options.max_evaluations) + " evaluations");
    }
    step = **next;
  }
}

}  // namespace peltaro::estimation::engine
