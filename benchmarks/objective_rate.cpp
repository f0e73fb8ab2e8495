// Objective evaluations per second: one value and analytic gradient in
// unconstrained coordinates, as an optimiser requests it, against one plain
// log-likelihood evaluation (model, initial state and filter built from
// scratch, as sarimax_loglike does). An L-BFGS-B fit costs one such
// evaluation per iteration and line-search step.

#include <cstdio>

#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/objective.hpp"
#include "timing.hpp"

namespace {

using namespace peltaro;
using namespace peltaro::benchmarks;

volatile double sink_value = 0.0;

void bench(const char* name, const core::SarimaxConfig& config, const Vec& theta, const Vec& y) {
  const auto params = *core::SarimaxParams::from_flat(theta, config);
  const Vec x = *core::transform_params_inner(theta, config, false);
  const estimation::SarimaxObjective objective(y, std::nullopt, config);
  auto loglike = [&] { sink_value = sink_value + core::kalman_eval(y, params, config, nullptr)->loglike; };
  auto value_and_gradient = [&] {
    auto fg = objective.eval_negloglike_with_gradient(x);
    sink_value = sink_value + fg->first + fg->second[0];
  };
  const Timing tm = compare(loglike, value_and_gradient);
  std::printf("%-36s loglike %8.2f us   value+gradient %8.2f us = %7.0f /s   ratio %5.2f\n", name,
              tm.first * 1e6, tm.second * 1e6, 1.0 / tm.second, tm.ratio);
}

}  // namespace

int main() {
  const Vec air = log_of(load_column("airpassengers.csv", 1));
  core::SarimaxConfig airline;
  airline.order = {0, 1, 1, 0, 1, 1, 12};
  bench("(0,1,1)(0,1,1,12) log AirPassengers", airline, {-0.4, -0.6, 0.0014}, air);
  core::SarimaxConfig big;
  big.order = {2, 1, 2, 1, 1, 1, 12};
  bench("(2,1,2)(1,1,1,12) log AirPassengers", big, {0.3, -0.2, -0.5, 0.1, 0.2, -0.5, 0.0013}, air);
  return 0;
}
