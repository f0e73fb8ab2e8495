#include "peltaro/estimation/bounded_runner.hpp"

namespace peltaro::estimation::runners {

namespace {

// The coefficients of a polynomial of order k, 1 − Σ c_i·L^i = Π (1 − r_j·L),
// whose inverse roots all lie within ρ satisfy |c_i| ≤ binomial(k, i)·ρ^i,
// with equality as every r_j tends to ±ρ. So the box binomial(k, i)·0.999
// holds every block with its inverse roots within 0.999 (a lynx AR(2) with
// φ1 = 1.48 among them), and is the familiar (−0.999, 0.999) at order 1.
void append_block(BoundsList& bounds, std::uint64_t order, bool enforced) {
  double binomial = 1.0;
  for (std::uint64_t i = 1; i <= order; ++i) {
    binomial = binomial * static_cast<double>(order - i + 1) / static_cast<double>(i);
    const double edge = 0.999 * binomial;
    bounds.push_back(enforced ? Bound{} : Bound{-edge, edge});
  }
}

}  // namespace

BoundsList compute_bounds(const SarimaxConfig& config) {
  const auto& o = config.order;
  BoundsList bounds;
  bounds.reserve(config.n_params());
  bounds.insert(bounds.end(), config.k_trend() + config.n_exog, Bound{});
  append_block(bounds, o.p, config.enforce_stationarity);
  append_block(bounds, o.q, config.enforce_invertibility);
  append_block(bounds, o.P, config.enforce_stationarity);
  append_block(bounds, o.Q, config.enforce_invertibility);
  // The variance coordinate is ln sigma2.
  if (!config.concentrate_scale) bounds.push_back({-50.0, std::nullopt});
  return bounds;
}

template TextResult<RunnerResult> run_lbfgsb<SarimaxObjective>(const SarimaxObjective&, Vec,
                                                               BoundsList, std::size_t);

}  // namespace peltaro::estimation::runners
