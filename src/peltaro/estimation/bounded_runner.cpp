#include "peltaro/estimation/bounded_runner.hpp"

namespace peltaro::estimation::runners {

BoundsList compute_bounds(const SarimaxConfig& config) {
  const Bound free{};
  const Bound inside_unit{-0.999, 0.999};
  const Bound& ar = config.enforce_stationarity ? free : inside_unit;
  const Bound& ma = config.enforce_invertibility ? free : inside_unit;
  const auto& o = config.order;

  BoundsList bounds;
  bounds.reserve(config.n_params());
  bounds.insert(bounds.end(), config.k_trend() + config.n_exog, free);
  bounds.insert(bounds.end(), o.p, ar);
  bounds.insert(bounds.end(), o.q, ma);
  bounds.insert(bounds.end(), o.P, ar);
  bounds.insert(bounds.end(), o.Q, ma);
  // The variance coordinate is ln sigma2.
  if (!config.concentrate_scale) bounds.push_back({-50.0, std::nullopt});
  return bounds;
}

template TextResult<RunnerResult> run_lbfgsb<SarimaxObjective>(const SarimaxObjective&, Vec,
                                                               BoundsList, std::size_t);

}  // namespace peltaro::estimation::runners
