// Cost of one analytic score relative to one log-likelihood evaluation.
//
// A finite-difference gradient costs about k + 1 filter passes (forward) or
// 2k (central) for k parameters; the analytic score is worth having when it
// stays within k + 2 passes. Prints, per model, the median time of each call
// and their ratio next to k + 2.
//
// For a system too large for the way back to keep every step (734 states,
// three seasons of daily data), it also prints the score's time against the
// same way back with no limit on what it keeps, the plan it took and the
// values it held.
//
//   score_cost          the table
//   score_cost memory   the peak resident size of the process after one
//                       log-likelihood of the large model, then after one
//                       score (run alone: the table's passes would count)

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/polynomial.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/score/adjoint_pass.hpp"
#include "peltaro/score/score.hpp"
#include "timing.hpp"

namespace {

using namespace peltaro;
using namespace peltaro::benchmarks;
using core::Columns;

volatile double sink_value = 0.0;

void bench(const char* name, const core::SarimaxConfig& config, const Vec& theta, const Vec& y,
           const Columns* exog, int batches = 15) {
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
  const Timing tm = compare(filter, gradient, batches);
  const std::size_t k = theta.size();
  std::printf("%-34s k=%zu  m=%2zu  n=%3zu  filter %9.2f us  score %9.2f us  ratio %5.2f  (k+2 = %zu)\n",
              name, k, ss.k_states, y.size(), tm.first * 1e6, tm.second * 1e6, tm.ratio,
              k + 2);
}

// The way back within its budget against the same way back keeping every
// step.
void checkpoint_cost(const core::SarimaxConfig& config, const Vec& theta, const Vec& y) {
  const auto params = *core::SarimaxParams::from_flat(theta, config);
  const auto ss = *core::StateSpace::create(config, params, y, nullptr);
  const auto init = core::KalmanInit::from_config_default(ss, config);
  const auto derivs = score::precompute_derivatives(config, params, ss, y.size(), nullptr);
  const core::FilterSystem system(ss);
  auto run = [&](std::size_t budget) {
    score::AdjointPass pass(y, ss, init, derivs, system, budget);
    pass.run_forward();
    sink_value = sink_value + pass.gradient(1.0)[0];
    return pass;
  };
  const std::size_t unlimited = std::size_t{1} << 40;
  const Timing tm = compare([&] { run(unlimited); }, [&] { run(score::ADJOINT_BUDGET); }, 5);
  const auto kept = run(unlimited);
  const auto bounded = run(score::ADJOINT_BUDGET);
  const double mib = 8.0 / (1 << 20);
  std::printf("  way back keeping every step %8.3f s, %7.1f MiB\n", tm.first,
              static_cast<double>(kept.values_held()) * mib);
  std::printf("  within %4.0f MiB               %8.3f s, %7.1f MiB  ratio %4.2f  "
              "(segments of %zu steps, %zu states stored, %zu steps run again)\n",
              static_cast<double>(score::ADJOINT_BUDGET) * mib, tm.second,
              static_cast<double>(bounded.values_held()) * mib, tm.ratio, bounded.plan().segment,
              bounded.plan().slots, bounded.steps_run_again());
}

// A series of the model itself, from zero: ARMA shocks through the reduced
// polynomials, then the differences undone.
Vec simulate(const core::SarimaxConfig& config, const Vec& theta, std::size_t n, unsigned seed) {
  const auto params = *core::SarimaxParams::from_flat(theta, config);
  const Vec ar = core::reduced_ar(params, config);
  const Vec ma = core::reduced_ma(params, config);
  const core::SarimaxOrder& o = config.order;
  Vec diff{1.0};
  for (std::uint64_t i = 0; i < o.d; ++i) diff = core::polymul(diff, Vec{1.0, -1.0});
  for (std::uint64_t i = 0; i < o.D; ++i) {
    Vec seasonal(o.s + 1, 0.0);
    seasonal[0] = 1.0;
    seasonal[o.s] = -1.0;
    diff = core::polymul(diff, seasonal);
  }
  const Vec lhs = core::polymul(ar, diff);  // of y
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, std::sqrt(*params.sigma2));
  Vec e(n), y(n, 0.0);
  for (std::size_t t = 0; t < n; ++t) {
    e[t] = normal(rng);
    double v = 0.0;
    for (std::size_t i = 0; i < ma.size() && i <= t; ++i) v += ma[i] * e[t - i];
    for (std::size_t i = 1; i < lhs.size() && i <= t; ++i) v -= lhs[i] * y[t - i];
    y[t] = v;
  }
  return y;
}

core::SarimaxConfig daily_config() {
  core::SarimaxConfig daily;
  daily.order = {2, 1, 2, 1, 1, 1, 365};
  return daily;
}
const Vec daily_theta{0.3, -0.2, -0.5, 0.1, 0.2, -0.5, 1.0};

}  // namespace

int main(int argc, char** argv) {
  const core::SarimaxConfig daily = daily_config();
  const Vec daily_y = simulate(daily, daily_theta, 1500, 20261207);
  if (argc > 1 && std::strcmp(argv[1], "memory") == 0) {
    const auto params = *core::SarimaxParams::from_flat(daily_theta, daily);
    const auto ss = *core::StateSpace::create(daily, params, daily_y, nullptr);
    const auto init = core::KalmanInit::from_config_default(ss, daily);
    auto peak_mib = [] {
      rusage usage{};
      getrusage(RUSAGE_SELF, &usage);
      return static_cast<double>(usage.ru_maxrss) / 1024.0;
    };
    sink_value = sink_value + core::kalman_loglike(daily_y, ss, init, false)->loglike;
    std::printf("(2,1,2)(1,1,1,365), n = 1500: peak resident %6.1f MiB after a log-likelihood,",
                peak_mib());
    sink_value = sink_value + (*score::score(daily_y, ss, init, daily, params, false, nullptr))[0];
    std::printf(" %6.1f MiB after a score\n", peak_mib());
    return 0;
  }

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
  bench("(2,1,2)(1,1,1,365) simulated", daily, daily_theta, daily_y, nullptr, 5);
  checkpoint_cost(daily, daily_theta, daily_y);
  return 0;
}
