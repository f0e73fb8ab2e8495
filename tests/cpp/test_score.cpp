#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/score/adjoint_pass.hpp"
#include "peltaro/score/score.hpp"
#include "score_fixtures.hpp"

using namespace peltaro;
using core::Columns;
using core::SarimaxConfig;
using core::SarimaxOrder;
using core::Trend;
using core::Vec;
namespace fx = peltaro::score_fixtures;
using fx::cfg;
using fx::load_csv_column;
using fx::log_of;

namespace {

struct FdCase {
  std::string name;
  SarimaxConfig config;
  Vec theta;
  Vec y;
  std::optional<Columns> exog;
  // Whether the tangent-linear pass is expected to reach steady mode.
  bool steady;
};

Vec air() { return log_of(load_csv_column("airpassengers.csv", 1)); }
// Log series in percent. With a diffuse prior of 1e6 beside a variance of
// 1e-3 the double-precision likelihood keeps too few digits for a finite
// difference; on the percent scale it keeps enough.
Vec percent(Vec x) {
  for (double& v : x) v *= 100.0;
  return x;
}
Vec lake() { return load_csv_column("lakehuron.csv", 1); }
Vec nile() { return load_csv_column("nile.csv", 1); }
Vec lynx() { return log_of(load_csv_column("lynx.csv", 1)); }
Vec ukgas() { return log_of(load_csv_column("ukgas.csv", 1)); }
Vec co2() { return load_csv_column("co2.csv", 1); }
Vec drivers() { return log_of(load_csv_column("seatbelts.csv", 2)); }
Columns seatbelt_regressors() {
  return {load_csv_column("seatbelts.csv", 8), load_csv_column("seatbelts.csv", 6)};
}
Columns simulated_regressors(std::size_t n, unsigned seed) {
  Columns c{fx::simulate_normal(n, seed), Vec(n)};
  for (std::size_t t = 0; t < n; ++t) c[1][t] = std::sin(0.3 * static_cast<double>(t));
  return c;
}
Vec with_effect(Vec y, const Columns& x, const Vec& beta) {
  for (std::size_t t = 0; t < y.size(); ++t)
    for (std::size_t j = 0; j < beta.size(); ++j) y[t] += beta[j] * x[j][t];
  return y;
}

std::vector<FdCase> fd_cases() {
  std::vector<FdCase> c;
  const Vec sim_ar2 = fx::simulate_arma(500, {0.5, -0.3}, {}, 11);
  const Columns x500 = simulated_regressors(500, 12);
  const Vec sim_arma = fx::simulate_arma(400, {0.7}, {0.4}, 13, 5.0);
  const Vec sim_ma2 = fx::simulate_arma(300, {}, {0.5, 0.2}, 14);
  const Vec sim_sarma = fx::simulate_arma(240, {0.5, 0, 0, 0.3, -0.15}, {0.3}, 15);
  const Vec sim_short = fx::simulate_arma(8, {0.6}, {0.3}, 16, 2.0);
  const Columns x60 = simulated_regressors(60, 17);

  // Seasonal airline-type models on log AirPassengers (diffuse differencing states).
  c.push_back({"airline", cfg({0, 1, 1, 0, 1, 1, 12}), {-0.4, -0.6, 14.0}, percent(air()), {}, false});
  c.push_back({"airline_conc", cfg({0, 1, 1, 0, 1, 1, 12}, Trend::None, 0, true), {-0.4, -0.6}, percent(air()), {}, false});
  c.push_back({"air_sar", cfg({1, 1, 0, 1, 1, 0, 12}), {-0.3, -0.4, 15.0}, percent(air()), {}, true});
  c.push_back({"air_212_111", cfg({2, 1, 2, 1, 1, 1, 12}), {0.3, -0.2, -0.5, 0.1, 0.2, -0.5, 13.0}, percent(air()), {}, false});
  c.push_back({"airline_simple_diff", cfg({0, 1, 1, 0, 1, 1, 12}, Trend::None, 0, false, true, true), {-0.4, -0.6, 0.0014}, air(), {}, false});
  c.push_back({"air_nonstationary_start", cfg({1, 1, 1, 0, 1, 1, 12}, Trend::None, 0, false, false), {0.2, -0.5, -0.5, 14.0}, percent(air()), {}, false});
  // Non-seasonal with trends, stationary start.
  c.push_back({"lake_ar1_c", cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant), {100.0, 0.82, 0.55}, lake(), {}, true});
  c.push_back({"lake_ar2_ct", cfg({2, 0, 0, 0, 0, 0, 0}, Trend::ConstantLinear), {120.0, -0.02, 1.0, -0.25, 0.48}, lake(), {}, true});
  c.push_back({"lake_arma11_t", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Linear), {0.05, 0.9, 0.2, 0.6}, lake(), {}, true});
  c.push_back({"lake_ar3_c_conc", cfg({3, 0, 0, 0, 0, 0, 0}, Trend::Constant, 0, true), {133.3, 1.0, -0.3, 0.07}, lake(), {}, true});
  c.push_back({"lake_ar1_c_diffuse", cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant, 0, false, false), {100.0, 0.82, 0.55}, lake(), {}, true});
  c.push_back({"nile_arma11_c_conc", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant, 0, true), {300.0, 0.7, -0.3}, nile(), {}, true});
  c.push_back({"nile_ima11", cfg({0, 1, 1, 0, 0, 0, 0}), {-0.7, 20000.0}, nile(), {}, true});
  c.push_back({"nile_arima111_t", cfg({1, 1, 1, 0, 0, 0, 0}, Trend::Linear), {-0.01, 0.2, -0.8, 20000.0}, nile(), {}, true});
  c.push_back({"lynx_ar2_c", cfg({2, 0, 0, 0, 0, 0, 0}, Trend::Constant), {2.5, 1.1, -0.5, 0.3}, lynx(), {}, true});
  c.push_back({"lynx_arma21_diffuse", cfg({2, 0, 1, 0, 0, 0, 0}, Trend::None, 0, false, false), {1.2, -0.6, 0.2, 0.3}, lynx(), {}, true});
  c.push_back({"lynx_arma22_conc", cfg({2, 0, 2, 0, 0, 0, 0}, Trend::Constant, 0, true), {3.0, 0.9, -0.3, 0.3, 0.1}, lynx(), {}, true});
  c.push_back({"arima110_c_simple_diff", cfg({1, 1, 0, 0, 0, 0, 0}, Trend::Constant, 0, false, true, true), {0.01, 0.3, 0.0012}, air(), {}, true});
  // Quarterly seasonal models.
  c.push_back({"ukgas_sar_c", cfg({1, 0, 0, 1, 0, 0, 4}, Trend::Constant), {0.5, 0.8, 0.6, 0.03}, ukgas(), {}, true});
  c.push_back({"ukgas_airline", cfg({0, 1, 1, 0, 1, 1, 4}), {-0.3, -0.7, 90.0}, percent(ukgas()), {}, false});
  c.push_back({"ukgas_mixed_conc", cfg({1, 0, 0, 0, 1, 1, 4}, Trend::None, 0, true), {0.6, -0.5}, ukgas(), {}, true});
  c.push_back({"ukgas_sar2", cfg({1, 1, 0, 2, 0, 0, 4}), {-0.3, 0.5, 0.3, 100.0}, percent(ukgas()), {}, true});
  // A long monthly series: thirteen diffuse states keep the whole covariance
  // moving, so steady mode is never reached.
  c.push_back({"co2_long", cfg({1, 1, 1, 0, 1, 1, 12}), {0.3, -0.7, -0.8, 0.08}, co2(), {}, false});
  // Regressors.
  c.push_back({"seatbelts_sar_c_x2", cfg({1, 0, 0, 1, 0, 0, 12}, Trend::Constant, 2), {4.0, -0.2, -1.5, 0.6, 0.5, 0.01}, drivers(), seatbelt_regressors(), true});
  c.push_back({"seatbelts_airline_x1", cfg({0, 1, 1, 0, 1, 1, 12}, Trend::None, 1), {-20.0, -0.4, -0.8, 80.0}, percent(drivers()), Columns{load_csv_column("seatbelts.csv", 8)}, false});
  c.push_back({"sim_ar2_x2_long", cfg({2, 0, 0, 0, 0, 0, 0}, Trend::None, 2), {1.5, -0.7, 0.45, -0.25, 1.1}, with_effect(sim_ar2, x500, {1.5, -0.7}), x500, true});
  c.push_back({"sim_ar2_x2_conc", cfg({2, 0, 0, 0, 0, 0, 0}, Trend::None, 2, true), {1.4, -0.6, 0.5, -0.3}, with_effect(sim_ar2, x500, {1.5, -0.7}), x500, true});
  c.push_back({"sim_white_c_x2_short", cfg({0, 0, 0, 0, 0, 0, 0}, Trend::Constant, 2), {0.3, 0.8, -0.4, 1.3}, with_effect(fx::simulate_normal(60, 18), x60, {1.0, -0.5}), x60, true});
  // Simulated stationary models.
  c.push_back({"sim_arma11_ct", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::ConstantLinear), {1.2, 0.001, 0.75, 0.35, 0.9}, sim_arma, {}, true});
  c.push_back({"sim_ma2_conc", cfg({0, 0, 2, 0, 0, 0, 0}, Trend::None, 0, true), {0.45, 0.25}, sim_ma2, {}, true});
  c.push_back({"sim_sarma_4", cfg({1, 0, 1, 1, 0, 0, 4}, Trend::None), {0.45, 0.35, 0.25, 1.05}, sim_sarma, {}, true});
  c.push_back({"sim_sarma_4_sma", cfg({1, 0, 0, 0, 0, 1, 4}, Trend::Constant), {0.1, 0.5, 0.3, 0.95}, sim_sarma, {}, true});
  c.push_back({"sim_short_arma11_c", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant), {0.8, 0.6, 0.3, 1.1}, sim_short, {}, false});
  c.push_back({"sim_short_ar1_conc_t", cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Linear, 0, true), {0.1, 0.5}, sim_short, {}, false});
  c.push_back({"sim_short_arima011", cfg({0, 1, 1, 0, 0, 0, 0}), {0.3, 0.9}, sim_short, {}, false});
  // An MA root near the unit circle: the covariance converges by about 2% a
  // step, so freezing it after a small change alone would leave the score and
  // the likelihood's differences apart.
  c.push_back({"sim_arma11_slow", cfg({1, 0, 1, 0, 0, 0, 0}), {0.5, 0.99, 1.0}, fx::simulate_arma(3000, {0.5}, {0.99}, 19), {}, true});
  return c;
}

}  // namespace

TEST(Score, MatchesFiniteDifferenceOfTheLogLikelihood) {
  for (const FdCase& c : fd_cases()) {
    SCOPED_TRACE(c.name);
    const Columns* x = c.exog ? &*c.exog : nullptr;
    const Vec g = fx::analytic_score(c.config, c.theta, c.y, x);
    const Vec fd = fx::fd_gradient(c.config, c.theta, c.y, x);
    ASSERT_EQ(g.size(), c.theta.size());
    for (std::size_t j = 0; j < g.size(); ++j) {
      const double err = std::fabs(g[j] - fd[j]) / std::fmax(1.0, std::fabs(fd[j]));
      EXPECT_LE(err, 1e-6) << "parameter " << j << ": analytic " << g[j] << ", finite difference " << fd[j];
    }
    const fx::Evaluation ev = fx::build(c.config, c.theta, c.y, x);
    fx::ScoreSums sums(g.size());
    const auto derivs = score::precompute_derivatives(c.config, ev.params, ev.ss,
                                                      ev.series.size(), ev.cols());
    const auto pass = score::tlkf_pass(ev.series, ev.ss, ev.init, derivs, sums);
    EXPECT_EQ(pass.steady_from.has_value() && *pass.steady_from < ev.series.size(), c.steady);

    // The way back against the tangent-linear pass: the same sums, the same
    // gradient to rounding.
    const core::FilterSystem system(ev.ss);
    score::AdjointPass back(ev.series, ev.ss, ev.init, derivs, system);
    back.run_forward();
    EXPECT_EQ(back.sums().sum_ln_f, pass.sum_ln_f);
    EXPECT_EQ(back.sums().sumsq, pass.sumsq);
    EXPECT_EQ(back.sums().steady_from, pass.steady_from);
    const double s2 = c.config.concentrate_scale
                          ? pass.sumsq / static_cast<double>(ev.series.size() - ev.init.burn)
                          : 1.0;
    const Vec adjoint = back.gradient(s2);
    const Vec forward = sums.gradient(s2);
    for (std::size_t j = 0; j < g.size(); ++j) {
      EXPECT_LE(std::fabs(adjoint[j] - forward[j]), 1e-10 * std::fmax(1.0, std::fabs(forward[j])))
          << "parameter " << j;
    }

    // The one-pass value and gradient are the filter's and the score's, bit for bit.
    const auto both = score::loglike_and_score(ev.series, ev.ss, ev.init, c.config, ev.params,
                                               c.config.concentrate_scale, ev.cols(), system);
    ASSERT_TRUE(both.has_value());
    EXPECT_EQ(both->loglike,
              core::kalman_loglike(ev.series, ev.ss, ev.init, c.config.concentrate_scale)->loglike);
    EXPECT_EQ(both->gradient, g);
  }
}

namespace {

// A plain dense filter in quadruple precision, without steady mode: the
// reference where the double-precision likelihood is too coarse to difference
// (13 diffuse states of variance 1e6 beside a shock variance of 1e-3 leave
// about seven digits).
using quad = __float128;

quad quad_log(quad x) {
  const long double head = static_cast<long double>(x);
  const quad delta = x / static_cast<quad>(head) - 1;
  return static_cast<quad>(std::log(head)) + delta - delta * delta / 2;
}

double quad_loglike(const SarimaxConfig& config, const Vec& theta, const Vec& y) {
  const fx::Evaluation ev = fx::build(config, theta, y, nullptr);
  const auto m = static_cast<std::size_t>(ev.ss.k_states);
  const std::size_t n = ev.series.size();
  std::vector<quad> P(m * m), TP(m * m), RQR(m * m), a(m), na(m), Z(m), pz(m);
  std::vector<core::SparseTEntry> T;
  for (std::size_t i = 0; i < m; ++i) {
    a[i] = ev.init.a0(static_cast<Eigen::Index>(i));
    Z[i] = ev.ss.design(static_cast<Eigen::Index>(i));
    for (std::size_t j = 0; j < m; ++j) {
      const auto ii = static_cast<Eigen::Index>(i), jj = static_cast<Eigen::Index>(j);
      P[i + j * m] = ev.init.p0(ii, jj);
      RQR[i + j * m] = static_cast<quad>(ev.ss.selection(ii, 0)) * ev.ss.state_cov(0, 0) * ev.ss.selection(jj, 0);
      if (ev.ss.transition(ii, jj) != 0.0) T.push_back({i, j, ev.ss.transition(ii, jj)});
    }
  }
  quad sum_ln_f = 0, sum_v2_f = 0;
  for (std::size_t t = 0; t < n; ++t) {
    quad za = 0, F = 0;
    for (std::size_t i = 0; i < m; ++i) za += Z[i] * a[i];
    const double d = t < ev.ss.obs_intercept.size() ? ev.ss.obs_intercept[t] : 0.0;
    const quad v = static_cast<quad>(ev.series[t]) - za - d;
    for (std::size_t i = 0; i < m; ++i) {
      pz[i] = 0;
      for (std::size_t j = 0; j < m; ++j) pz[i] += P[i + j * m] * Z[j];
      F += Z[i] * pz[i];
    }
    for (std::size_t i = 0; i < m; ++i) a[i] += pz[i] * v / F;
    for (std::size_t j = 0; j < m; ++j)
      for (std::size_t i = 0; i < m; ++i) P[i + j * m] -= pz[i] * pz[j] / F;
    if (t >= ev.init.burn) {
      sum_ln_f += quad_log(F);
      sum_v2_f += v * v / F;
    }
    std::fill(na.begin(), na.end(), quad(0));
    std::fill(TP.begin(), TP.end(), quad(0));
    for (const auto& e : T) {
      na[e.row] += e.value * a[e.col];
      for (std::size_t k = 0; k < m; ++k) TP[e.row + k * m] += e.value * P[e.col + k * m];
    }
    for (std::size_t i = 0; i < m; ++i) a[i] = na[i];
    if (!ev.ss.state_intercept.empty()) a[ev.ss.k_diff] += ev.ss.state_intercept[t];
    P = RQR;
    for (const auto& e : T)
      for (std::size_t k = 0; k < m; ++k) P[k + e.row * m] += e.value * TP[k + e.col * m];
  }
  const quad N = static_cast<quad>(n - ev.init.burn);
  const quad ln_2pi = quad_log(2 * static_cast<quad>(M_PI));
  if (config.concentrate_scale) {
    return static_cast<double>(-N / 2 * ln_2pi - N / 2 * quad_log(sum_v2_f / N) - N / 2 - sum_ln_f / 2);
  }
  return static_cast<double>(-N / 2 * ln_2pi - sum_ln_f / 2 - sum_v2_f / 2);
}

fx::Evaluation evaluation(const SarimaxConfig& c, const Vec& theta, const Vec& y,
                          const Columns* exog = nullptr) {
  return fx::build(c, theta, y, exog);
}

core::Result<Vec> score_of(const SarimaxConfig& c, const fx::Evaluation& ev) {
  return score::score(ev.series, ev.ss, ev.init, c, ev.params, c.concentrate_scale, ev.cols());
}

core::Result<std::vector<Vec>> rows_of(const SarimaxConfig& c, const fx::Evaluation& ev) {
  return score::score_obs(ev.series, ev.ss, ev.init, c, ev.params, c.concentrate_scale, ev.cols());
}

}  // namespace

TEST(Score, ExactWhereTheDoublePrecisionLikelihoodIsTooCoarse) {
  const Vec y = air();
  for (const bool concentrate : {false, true}) {
    const SarimaxConfig c = cfg({0, 1, 1, 0, 1, 1, 12}, Trend::None, 0, concentrate);
    const Vec theta = concentrate ? Vec{-0.4, -0.6} : Vec{-0.4, -0.6, 0.0014};
    const fx::Evaluation ev = evaluation(c, theta, y);
    const Vec g = *score_of(c, ev);
    for (std::size_t j = 0; j < theta.size(); ++j) {
      auto central = [&](double h) {
        Vec up = theta, down = theta;
        up[j] += h;
        down[j] -= h;
        return (quad_loglike(c, up, y) - quad_loglike(c, down, y)) / (up[j] - down[j]);
      };
      const double h = 1e-5 * std::fabs(theta[j]);
      const double ref = (4.0 * central(h / 2) - central(h)) / 3.0;
      EXPECT_LE(std::fabs(g[j] - ref), 1e-6 * std::fmax(1.0, std::fabs(ref)))
          << "concentrate " << concentrate << " parameter " << j << ": " << g[j] << " vs " << ref;
    }
  }
}

TEST(ScoreObs, RowsSumToTheScore) {
  const Columns x = simulated_regressors(120, 41);
  const Vec y = with_effect(fx::simulate_arma(120, {0.6}, {0.3}, 42, 3.0), x, {0.8, -0.4});
  struct Case {
    SarimaxConfig config;
    Vec theta;
    Vec y;
    const Columns* exog;
  };
  const std::vector<Case> cases{
      {cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant, 2), {1.2, 0.8, -0.4, 0.6, 0.3, 1.0}, y, &x},
      {cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant, 2, true), {1.2, 0.8, -0.4, 0.6, 0.3}, y, &x},
      {cfg({0, 1, 1, 0, 1, 1, 12}), {-0.4, -0.6, 14.0}, percent(air()), nullptr},
      {cfg({0, 1, 1, 0, 1, 1, 12}, Trend::None, 0, true), {-0.4, -0.6}, percent(air()), nullptr},
      {cfg({2, 1, 0, 0, 0, 0, 0}, Trend::Linear, 0, false, false), {0.1, 0.3, -0.2, 20000.0}, nile(), nullptr},
  };
  for (const Case& c : cases) {
    const fx::Evaluation ev = evaluation(c.config, c.theta, c.y, c.exog);
    const Vec g = *score_of(c.config, ev);
    const std::vector<Vec> rows = *rows_of(c.config, ev);
    ASSERT_EQ(rows.size(), ev.series.size() - ev.init.burn);
    for (std::size_t j = 0; j < g.size(); ++j) {
      double sum = 0.0;
      for (const Vec& r : rows) {
        ASSERT_EQ(r.size(), g.size());
        sum += r[j];
      }
      EXPECT_LE(std::fabs(sum - g[j]), 1e-12 * std::fabs(g[j])) << j;
    }
  }
}

// The filter is causal, so the first i + 1 rows of the full likelihood are
// the score of the series cut after observation burn + i.
TEST(ScoreObs, RowsAreThePerObservationDerivatives) {
  const SarimaxConfig c = cfg({1, 1, 1, 0, 0, 0, 0}, Trend::Linear);
  const Vec theta{-0.01, 0.2, -0.8, 20000.0};
  const Vec y = nile();
  const std::vector<Vec> rows = *rows_of(c, evaluation(c, theta, y));
  ASSERT_EQ(rows.size(), y.size() - 1);
  for (const std::size_t cut : {2u, 5u, 17u, 60u}) {
    const Vec g = *score_of(c, evaluation(c, theta, fx::head(y, cut)));
    for (std::size_t j = 0; j < g.size(); ++j) {
      double sum = 0.0;
      for (std::size_t i = 0; i + 1 < cut; ++i) sum += rows[i][j];
      EXPECT_NEAR(sum, g[j], 1e-9 * std::fmax(1.0, std::fabs(g[j]))) << "cut " << cut << " parameter " << j;
    }
  }
}

TEST(Score, NoFreeParameterGivesEmptyResultsWithoutAScaleTest) {
  const SarimaxConfig c = cfg({0, 0, 0, 0, 0, 0, 0}, Trend::None, 0, true);
  const fx::Evaluation ev = evaluation(c, {}, Vec(6, 0.0));  // all innovations zero
  const auto g = score_of(c, ev);
  ASSERT_TRUE(g.has_value());
  EXPECT_TRUE(g->empty());
  const auto rows = rows_of(c, ev);
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 6u);
  for (const Vec& r : *rows) EXPECT_TRUE(r.empty());
}

TEST(Score, NeedsMoreObservationsThanDiffuseStates) {
  const SarimaxConfig c = cfg({1, 1, 1, 0, 0, 0, 0}, Trend::None, 0, false, false);  // burn 3
  const fx::Evaluation short_ev = evaluation(c, {0.5, 0.3, 1.0}, {1.0, 2.0, 3.0});
  ASSERT_EQ(short_ev.init.burn, 3u);
  EXPECT_EQ(score_of(c, short_ev).error().display(), "data error: Not enough observations: n=3 <= burn=3");
  EXPECT_EQ(rows_of(c, short_ev).error().display(), "data error: Not enough observations: n=3 <= burn=3");
  const fx::Evaluation one_more = evaluation(c, {0.5, 0.3, 1.0}, {1.0, 2.0, 3.0, 5.0});
  const auto rows = rows_of(c, one_more);
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(rows->size(), 1u);
  EXPECT_EQ(score_of(c, one_more)->size(), 3u);
}

TEST(Score, ConcentratedScaleMustBePositive) {
  const SarimaxConfig c = cfg({1, 0, 1, 0, 0, 0, 0}, Trend::None, 0, true);
  const fx::Evaluation ev = evaluation(c, {0.5, 0.3}, Vec(20, 0.0));
  EXPECT_EQ(score_of(c, ev).error().display(),
            "data error: concentrated sigma^2 <= 0 in score computation");
  EXPECT_EQ(rows_of(c, ev).error().display(),
            "data error: concentrated sigma^2 <= 0 in score_obs computation");
}

// Without the concentrated scale the gradient formula divides by exactly 1:
// with every innovation zero only the −½·Σ ln F part is left, and it is
// still the derivative of the likelihood.
TEST(Score, FullScaleNeedsNoPositiveInnovations) {
  const SarimaxConfig c = cfg({1, 0, 1, 0, 0, 0, 0});
  const Vec theta{0.5, 0.3, 2.0}, y(20, 0.0);
  const Vec g = *score_of(c, evaluation(c, theta, y));
  const Vec fd = fx::fd_gradient(c, theta, y, nullptr);
  for (std::size_t j = 0; j < g.size(); ++j) EXPECT_NEAR(g[j], fd[j], 1e-6 * std::fmax(1.0, std::fabs(fd[j])));
  EXPECT_NEAR(g[2], -0.5 * 20 / 2.0, 1e-9);  // F ∝ σ² at every step
}

TEST(Score, NaNInTheSeriesGivesNaNNotAnError) {
  Vec y = fx::simulate_arma(30, {0.5}, {}, 51);
  y[12] = std::numeric_limits<double>::quiet_NaN();
  for (const bool concentrate : {false, true}) {
    const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0}, Trend::None, 0, concentrate);
    const fx::Evaluation ev = evaluation(c, concentrate ? Vec{0.5} : Vec{0.5, 1.0}, y);
    const auto g = score_of(c, ev);
    ASSERT_TRUE(g.has_value());
    EXPECT_TRUE(std::isnan((*g)[0]));
    const auto rows = rows_of(c, ev);
    ASSERT_TRUE(rows.has_value());
    EXPECT_TRUE(std::isnan(rows->back()[0]));
    // The one-pass form fails where the filter does, with its message.
    const auto both = score::loglike_and_score(ev.series, ev.ss, ev.init, c, ev.params, concentrate,
                                               ev.cols(), core::FilterSystem(ev.ss));
    EXPECT_EQ(both.error().display(),
              core::kalman_loglike(ev.series, ev.ss, ev.init, concentrate).error().display());
  }
}

TEST(Score, RefusesInputsNotBuiltForTheConfiguration) {
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant, 2);
  const Columns x = simulated_regressors(30, 61);
  const Vec y = fx::simulate_arma(30, {0.5}, {}, 62);
  const Vec theta{0.1, 0.5, -0.5, 0.5, 1.0};
  const fx::Evaluation ev = evaluation(c, theta, y, &x);
  auto both = [&](const SarimaxConfig& config, const core::StateSpace& ss, const core::KalmanInit& init,
                  std::span<const double> series, const Columns* exog) {
    const auto g = score::score(series, ss, init, config, ev.params, config.concentrate_scale, exog);
    const auto r = score::score_obs(series, ss, init, config, ev.params, config.concentrate_scale, exog);
    EXPECT_EQ(g.has_value(), r.has_value());
    if (!g && !r) {
      EXPECT_EQ(g.error(), r.error());
    }
    return g ? std::string("ok") : g.error().display();
  };
  const Columns one{x[0]};
  EXPECT_EQ(both(c, ev.ss, ev.init, y, &one), "invalid input: exog has 1 columns but the model has n_exog=2");
  Columns short_col = x;
  short_col[1].pop_back();
  EXPECT_EQ(both(c, ev.ss, ev.init, y, &short_col), "data error: exog column 1 has 29 rows but y has 30 observations");
  const SarimaxConfig wider = cfg({2, 0, 0, 0, 0, 0, 0}, Trend::Constant, 2);
  EXPECT_EQ(both(wider, ev.ss, ev.init, y, &x), "invalid input: state space has 1 states but the configuration gives 2");
  EXPECT_EQ(both(c, ev.ss, ev.init, fx::head(y, 20), nullptr),
            "invalid input: state space was built for 30 observations but y has 20");
  core::KalmanInit bad_init = core::KalmanInit::approximate_diffuse(3);
  bad_init.burn = 0;
  EXPECT_EQ(both(c, ev.ss, bad_init, y, &x), "invalid input: initial state has 3 states but the state space has 1");
  core::KalmanInit outside = ev.init;
  outside.stationary_block = std::make_pair(std::size_t{1}, std::size_t{1});
  EXPECT_EQ(both(c, ev.ss, outside, y, &x), "invalid input: stationary block at 1 of size 1 lies outside the 1 states");
  // Seasonal coefficients without a period would land on lag 0.
  SarimaxConfig no_period = cfg({1, 0, 0, 1, 0, 0, 0}, Trend::Constant, 2);
  EXPECT_EQ(both(no_period, ev.ss, ev.init, y, &x),
            "invalid input: seasonal coefficients need a seasonal period s >= 1, got s=0");
  // Regressors the model does not use are neither read nor checked.
  EXPECT_EQ(both(cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant, 0), ev.ss, ev.init, y, &short_col), "ok");
}

// The way back keeps its storage from one pass to the next on the thread:
// a score after a model with T's pattern but other values must be the score
// after a model of another size, bit for bit.
TEST(Score, KeepsThePlanOfTOnlyWhileTIsTheSame) {
  const Vec y = percent(air());  // the covariance never settles: T' is used at every step
  const SarimaxConfig c = cfg({1, 1, 0, 0, 1, 1, 12});
  const SarimaxConfig smaller = cfg({1, 0, 0, 0, 0, 0, 0});
  auto score_at = [&](const SarimaxConfig& config, const Vec& theta) {
    const fx::Evaluation ev = evaluation(config, theta, y);
    return *score_of(config, ev);
  };
  const Vec theta{-0.3, -0.5, 14.0};
  score_at(c, {0.2, -0.5, 14.0});
  const Vec after_other_values = score_at(c, theta);
  score_at(smaller, {0.5, 14.0});
  const Vec fresh = score_at(c, theta);
  ASSERT_EQ(fresh.size(), after_other_values.size());
  for (std::size_t j = 0; j < fresh.size(); ++j) EXPECT_EQ(fresh[j], after_other_values[j]) << j;
}
