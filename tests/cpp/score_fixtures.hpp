#pragma once
// Shared set-up for the score tests: the public data sets, simulated series,
// the system built exactly as the log-likelihood pipeline builds it, and a
// Richardson-extrapolated central difference of that log-likelihood.

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/score/score.hpp"

namespace peltaro::score_fixtures {

using core::Columns;
using core::SarimaxConfig;
using core::Vec;

// Column `column` (0 = time) of a CSV file in the data directory.
inline Vec load_csv_column(const std::string& file, std::size_t column) {
  std::ifstream in(std::string(PELTARO_DATA_DIR) + "/" + file);
  if (!in) throw std::runtime_error("cannot open " + file);
  std::string line;
  std::getline(in, line);  // header
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

// A configuration with the switches the score tests vary.
inline SarimaxConfig cfg(core::SarimaxOrder o, core::Trend trend = core::Trend::None,
                         std::uint64_t n_exog = 0, bool concentrate = false,
                         bool stationary = true, bool simple_diff = false) {
  SarimaxConfig c;
  c.order = o;
  c.trend = trend;
  c.n_exog = n_exog;
  c.concentrate_scale = concentrate;
  c.enforce_stationarity = stationary;
  c.simple_differencing = simple_diff;
  return c;
}

inline Vec log_of(Vec x) {
  for (double& v : x) v = std::log(v);
  return x;
}

inline Vec head(const Vec& x, std::size_t n) { return Vec(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n)); }

// ARMA(p, q) series with unit-variance shocks after a burn-in of 200 steps.
inline Vec simulate_arma(std::size_t n, const Vec& ar, const Vec& ma, unsigned seed,
                         double mean = 0.0) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> N;
  const std::size_t burn = 200;
  Vec y(n + burn, 0.0), e(n + burn, 0.0);
  for (std::size_t t = 0; t < n + burn; ++t) {
    e[t] = N(rng);
    double v = e[t];
    for (std::size_t i = 0; i < ar.size() && i < t; ++i) v += ar[i] * y[t - 1 - i];
    for (std::size_t i = 0; i < ma.size() && i < t; ++i) v += ma[i] * e[t - 1 - i];
    y[t] = v;
  }
  Vec out(y.begin() + burn, y.end());
  for (double& v : out) v += mean;
  return out;
}

inline Vec simulate_normal(std::size_t n, unsigned seed, double scale = 1.0) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> N;
  Vec out(n);
  for (double& v : out) v = scale * N(rng);
  return out;
}

// Everything one score evaluation needs, built the way `kalman_eval` builds it
// (simple differencing applied to the series and the columns first).
struct Evaluation {
  Vec series;
  std::optional<Columns> columns;
  core::SarimaxParams params;
  core::StateSpace ss;
  core::KalmanInit init;

  [[nodiscard]] const Columns* cols() const { return columns ? &*columns : nullptr; }
};

inline Evaluation build(const SarimaxConfig& config, const Vec& theta, const Vec& y,
                        const Columns* exog) {
  Evaluation ev;
  auto prepared = core::prepare_endog(y, config, exog);
  if (!prepared) throw std::runtime_error(prepared.error().display());
  ev.series = std::move(prepared->series);
  if (config.simple_differencing) {
    ev.columns = std::move(prepared->columns);
  } else if (exog != nullptr) {
    ev.columns = *exog;
  }
  auto params = core::SarimaxParams::from_flat(theta, config);
  if (!params) throw std::runtime_error(params.error().display());
  ev.params = *params;
  auto ss = core::StateSpace::create(config, ev.params, ev.series, ev.cols());
  if (!ss) throw std::runtime_error(ss.error().display());
  ev.ss = std::move(*ss);
  ev.init = core::KalmanInit::from_config_default(ev.ss, config);
  return ev;
}

// The tangent-linear pass summed: three running sums per parameter, and the
// summed gradient at scale s2 from them. The way back's independent twin.
struct ScoreSums {
  Vec sum_v_dv;     // Σ (v/F)·dv_j
  Vec sum_v2_df;    // Σ (v²/F²)·dF_j
  Vec sum_finv_df;  // Σ dF_j/F

  explicit ScoreSums(std::size_t k) : sum_v_dv(k, 0.0), sum_v2_df(k, 0.0), sum_finv_df(k, 0.0) {}

  void record(std::span<const double> dv, std::span<const double> df, double v, double finv) {
    const double a = v * finv;
    const double b = finv * ((v * v) * finv);
    for (std::size_t j = 0; j < sum_v_dv.size(); ++j) {
      sum_v_dv[j] += a * dv[j];
      sum_v2_df[j] += b * df[j];
      sum_finv_df[j] += finv * df[j];
    }
  }

  [[nodiscard]] Vec gradient(double s2) const {
    Vec g(sum_v_dv.size());
    for (std::size_t j = 0; j < g.size(); ++j) {
      g[j] = (sum_v2_df[j] * 0.5) / s2 - sum_v_dv[j] / s2 - sum_finv_df[j] * 0.5;
    }
    return g;
  }
};

inline Vec analytic_score(const SarimaxConfig& config, const Vec& theta, const Vec& y,
                          const Columns* exog) {
  const Evaluation ev = build(config, theta, y, exog);
  auto g = score::score(ev.series, ev.ss, ev.init, config, ev.params, config.concentrate_scale,
                        ev.cols());
  if (!g) throw std::runtime_error(g.error().display());
  return *g;
}

inline double loglike(const SarimaxConfig& config, const Vec& theta, const Vec& y,
                      const Columns* exog) {
  auto params = core::SarimaxParams::from_flat(theta, config);
  if (!params) throw std::runtime_error(params.error().display());
  auto out = core::kalman_eval(y, *params, config, exog);
  if (!out) throw std::runtime_error(out.error().display());
  return out->loglike;
}

// Central difference with two Richardson steps (error O(h⁶)) for each of a
// ladder of relative steps. Large steps carry truncation error, small ones
// the rounding noise of the filter (a diffuse prior of 1e6 beside small
// variances costs many digits), so the estimate taken is the one that agrees
// best with its neighbour on the ladder.
template <class F>
Vec richardson_gradient(F&& f, const Vec& theta) {
  const double ladder[] = {1e-2, 2.5e-3, 6.25e-4, 1.5625e-4, 3.90625e-5, 9.765625e-6, 2.44140625e-6};
  constexpr std::size_t L = std::size(ladder);
  Vec g(theta.size());
  for (std::size_t j = 0; j < theta.size(); ++j) {
    auto central = [&](double step) {
      Vec up = theta, down = theta;
      up[j] += step;
      down[j] -= step;
      return (f(up) - f(down)) / (up[j] - down[j]);
    };
    double est[L];
    for (std::size_t i = 0; i < L; ++i) {
      const double h = ladder[i] * std::fmax(std::fabs(theta[j]), 1e-2);
      const double c1 = central(h), c2 = central(h / 2.0), c3 = central(h / 4.0);
      const double r1 = (4.0 * c2 - c1) / 3.0, r2 = (4.0 * c3 - c2) / 3.0;
      est[i] = (16.0 * r2 - r1) / 15.0;
    }
    std::size_t best = 0;
    double best_gap = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i + 1 < L; ++i) {
      const double gap = std::fabs(est[i] - est[i + 1]);
      if (gap < best_gap) {
        best_gap = gap;
        best = i;
      }
    }
    g[j] = 0.5 * (est[best] + est[best + 1]);
  }
  return g;
}

inline Vec fd_gradient(const SarimaxConfig& config, const Vec& theta, const Vec& y,
                       const Columns* exog) {
  return richardson_gradient([&](const Vec& t) { return loglike(config, t, y, exog); }, theta);
}

}  // namespace peltaro::score_fixtures
