// Cost of one analytic score relative to one log-likelihood evaluation.
//
// A finite-difference gradient costs about k + 1 filter passes (forward) or
// 2k (central) for k parameters; the analytic score is worth having when it
// stays within k + 2 passes. Prints, per model, the median time of each call
// and their ratio next to k + 2.

#include <cstdio>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/score/score.hpp"
#include "timing.hpp"

namespace {

using namespace peltaro;
using namespace peltaro::benchmarks;
using core::Columns;

volatile double sink_value = 0.0;

void bench(const char* name, const core::SarimaxConfig& config, const Vec& theta, const Vec& y,
           const Columns* exog) {
  const auto params = *core::SarimaxParams::from_flat(theta, config);
  const auto ss = *core::StateSpace::create(config, params, y, exog);
  const auto init = core::KalmanInit::from_config_default(ss, config);
  auto filter = [&] {
    auto out = core::kalman_loglike(y, ss, init, config.concentrate_scale);
    sink_value = sink_value + out->loglike;
  };
  auto gradient = [&] {
    auto g = score::score(y, ss, init, config, params, config.concentrate_scale, exog);
    sink_value = sink_value + (*g)[0];
  };
  const Timing tm = compare(filter, gradient);
  const std::size_t k = theta.size();
  std::printf("%-34s k=%zu  m=%2zu  n=%3zu  filter %9.2f us  score %9.2f us  ratio %5.2f  (k+2 = %zu)\n",
              name, k, ss.k_states, y.size(), tm.first * 1e6, tm.second * 1e6, tm.ratio,
              k + 2);
}

}  // namespace

int main() {
  const Vec air = log_of(load_column("airpassengers.csv", 1));

  core::SarimaxConfig airline;
  airline.order = {0, 1, 1, 0, 1, 1, 12};
  bench("(0,1,1)(0,1,1,12) log AirPassengers", airline, {-0.4, -0.6, 0.0014}, air, nullptr);

  core::SarimaxConfig ar2x;
  ar2x.order = {2, 0, 0, 0, 0, 0, 0};
  ar2x.n_exog = 2;
  const Vec drivers = log_of(load_column("seatbelts.csv", 2));
  const Columns x{load_column("seatbelts.csv", 8), load_column("seatbelts.csv", 6)};
  bench("AR(2) + 2 regressors, log drivers", ar2x, {-0.2, -1.5, 0.7, 0.2, 0.01}, drivers, &x);

  core::SarimaxConfig big;
  big.order = {2, 1, 2, 1, 1, 1, 12};
  bench("(2,1,2)(1,1,1,12) log AirPassengers", big, {0.3, -0.2, -0.5, 0.1, 0.2, -0.5, 0.0013}, air,
        nullptr);
  return 0;
}
