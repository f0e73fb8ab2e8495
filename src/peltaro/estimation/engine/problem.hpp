#pragma once
// What the engine asks of a problem: a cost at a point and, for the
// gradient-based solvers, a gradient there. Points reach the problem as
// contiguous views, so a problem written over std::vector storage is driven
// directly from the engine's Eigen vectors.

#include <Eigen/Core>
#include <concepts>
#include <cstddef>
#include <span>
#include <string>

#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::engine {

template <class P>
concept CostFunction = requires(const P& problem, std::span<const double> x) {
  { problem.cost(x) } -> std::convertible_to<double>;
};

template <class P>
concept GradientFunction = CostFunction<P> && requires(const P& problem, std::span<const double> x) {
  { problem.gradient(x) } -> std::convertible_to<Vec>;
};

inline std::span<const double> view(const Eigen::VectorXd& x) {
  return {x.data(), static_cast<std::size_t>(x.size())};
}

// Gradient into `g`, then the cost. The gradient goes first so that a problem
// which caches its last value and gradient answers the cost without a second
// pass.
template <GradientFunction P>
TextResult<double> cost_and_gradient(const P& problem, const Eigen::VectorXd& x,
                                     Eigen::VectorXd& g) {
  const Vec grad = problem.gradient(view(x));
  if (grad.size() != static_cast<std::size_t>(x.size())) {
    return fail_text("gradient has " + std::to_string(grad.size()) + " entries at a point of " +
                     std::to_string(x.size()));
  }
  g = Eigen::Map<const Eigen::VectorXd>(grad.data(), x.size());
  return static_cast<double>(problem.cost(view(x)));
}

}  // namespace peltaro::estimation::engine
