#pragma once
// Smooth functions with known minima for the minimiser tests: each returns
// its value at x and writes its gradient into g.

#include <span>

namespace peltaro::test_functions {

// Σ w_i (x_i − c_i)² with w = (20, 100, 400), c = (1, −2, 3): steep enough
// that a gradient below 1e-5 puts x within 1e-6 of c.
inline double quadratic(std::span<const double> x, std::span<double> g) {
  static constexpr double w[] = {20.0, 100.0, 400.0}, c[] = {1.0, -2.0, 3.0};
  double f = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    f += w[i] * (x[i] - c[i]) * (x[i] - c[i]);
    g[i] = 2.0 * w[i] * (x[i] - c[i]);
  }
  return f;
}

// The chained Rosenbrock function Σ 100 (x_{i+1} − x_i²)² + (1 − x_i)².
inline double rosenbrock(std::span<const double> x, std::span<double> g) {
  double f = 0.0;
  for (double& v : g) v = 0.0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    const double a = x[i + 1] - x[i] * x[i], b = 1.0 - x[i];
    f += 100.0 * a * a + b * b;
    g[i] += -400.0 * a * x[i] - 2.0 * b;
    g[i + 1] += 200.0 * a;
  }
  return f;
}

}  // namespace peltaro::test_functions
