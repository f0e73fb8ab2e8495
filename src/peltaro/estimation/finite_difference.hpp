#pragma once
// Central differences of a negative log-likelihood F over a point x:
//   g_i = (F(x + h e_i) − F(x − h e_i)) / (2h),  h = eps·(|x_i| + 1),
// evaluated in the order 0+, 0−, 1+, 1−, …. The first failed evaluation ends
// the work and its text is returned as it is; an empty point evaluates
// nothing.

#include <cmath>
#include <concepts>
#include <span>

#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

template <class F>
  requires std::invocable<F&, std::span<const double>> &&
           std::same_as<std::invoke_result_t<F&, std::span<const double>>, TextResult<double>>
TextResult<Vec> central_difference(std::span<const double> x, double eps, F&& negll) {
  Vec g(x.size(), 0.0);
  Vec w(x.begin(), x.end());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double h = eps * (std::fabs(x[i]) + 1.0);
    w[i] = x[i] + h;
    const auto up = negll(std::span<const double>(w));
    if (!up) return fail_text(up.error());
    w[i] = x[i] - h;
    const auto down = negll(std::span<const double>(w));
    if (!down) return fail_text(down.error());
    w[i] = x[i];
    g[i] = (*up - *down) / (2.0 * h);
  }
  return g;
}

}  // namespace peltaro::estimation
