// Cost of one analytic score relative to one log-likelihood evaluation.
//
// A finite-difference gradient costs about k + 1 filter passes (forward) or
// 2k (central) for k parameters; the analytic score is worth having when it
// stays within k + 2 passes. Prints, per model, the median time of each call
// and their ratio next to k + 2.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/score/score.hpp"

namespace {

using namespace peltaro;
using core::Columns;
using core::Vec;

Vec load_column(const std::string& file, std::size_t column) {
  std::ifstream in(std::string(PELTARO_DATA_DIR) + "/" + file);
  std::string line;
  std::getline(in, line);
  Vec out;
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    std::string cell;
    for (std::size_t c = 0; std::getline(ss, cell, ','); ++c) {
      if (c == column) {
        out.push_back(std::stod(cell));
        break;
      }
    }
  }
  return out;
}

Vec log_of(Vec x) {
  for (double& v : x) v = std::log(v);
  return x;
}

struct Timing {
  double first = 0.0;   // median seconds per call of `a`
  double second = 0.0;  // median seconds per call of `b`
  double ratio = 0.0;   // median of the per-batch ratios b / a
};

template <class F>
double seconds_per_call(F& call, int reps) {
  using clock = std::chrono::steady_clock;
  const auto t0 = clock::now();
  for (int i = 0; i < reps; ++i) call();
  return std::chrono::duration<double>(clock::now() - t0).count() / reps;
}

template <class F>
int calibrate(F& call, double batch_seconds) {
  int reps = 1;
  for (;;) {
    const double per_call = seconds_per_call(call, reps);
    if (per_call * reps > batch_seconds / 4) return std::max(1, static_cast<int>(batch_seconds / per_call));
    reps *= 2;
  }
}

// The two calls are timed in alternating batches, so that a change of load on
// the machine during the run affects both sides of each ratio alike.
template <class A, class B>
Timing compare(A&& a, B&& b, int batches = 15, double batch_seconds = 0.04) {
  const int reps_a = calibrate(a, batch_seconds);
  const int reps_b = calibrate(b, batch_seconds);
  std::vector<double> ta, tb, r;
  for (int i = 0; i < batches; ++i) {
    ta.push_back(seconds_per_call(a, reps_a));
    tb.push_back(seconds_per_call(b, reps_b));
    r.push_back(tb.back() / ta.back());
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  return {median(ta), median(tb), median(r)};
}

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
