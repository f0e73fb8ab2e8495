// Forecasts from a state and the forecast pipeline: the checks and their
// texts, closed forms, and the integrated forecast under simple differencing
// (against statsmodels in tests/python/test_forecast.py).

#include <gtest/gtest.h>

#include <boost/math/distributions/normal.hpp>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "peltaro/apply/forecast.hpp"
#include "peltaro/apply/forecast_pipeline.hpp"
#include "peltaro/core/state_space.hpp"
#include "score_fixtures.hpp"

namespace peltaro::apply::forecast {
namespace {

using core::Columns;
using core::SarimaxConfig;
using core::SarimaxOrder;
using core::SarimaxParams;
using core::StateSpace;
using core::Trend;
using core::Vec;
using score_fixtures::cfg;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// A wandering series with some curvature, so differenced models have
// something to forecast.
Vec series(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> dist(0.0, 1.0);
  Vec y(n);
  double level = 0.0, slope = 0.0;
  for (double& v : y) {
    slope += 0.1 * dist(gen);
    level += slope + dist(gen);
    v = level;
  }
  return y;
}

Columns regressors(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> dist(0.0, 1.0);
  Columns cols(2, Vec(n));
  double walk = 3.0;
  for (std::size_t t = 0; t < n; ++t) {
    walk += 0.2 * dist(gen);
    cols[0][t] = walk;
    cols[1][t] = std::sin(0.3 * static_cast<double>(t)) + 0.1 * dist(gen);
  }
  return cols;
}

// Rows [from, to) of every column.
Columns rows(const Columns& cols, std::size_t from, std::size_t to) {
  Columns out;
  for (const Vec& c : cols) out.emplace_back(c.begin() + static_cast<std::ptrdiff_t>(from),
                                             c.begin() + static_cast<std::ptrdiff_t>(to));
  return out;
}

// A one-state white-noise system (T = 0, Z = R = 1, Q = sigma2).
StateSpace white_noise(double sigma2) {
  StateSpace ss;
  ss.transition = Eigen::MatrixXd::Zero(1, 1);
  ss.design = Eigen::VectorXd::Ones(1);
  ss.selection = Eigen::MatrixXd::Ones(1, 1);
  ss.state_cov = Eigen::MatrixXd::Constant(1, 1, sigma2);
  ss.k_states = 1;
  return ss;
}

Eigen::VectorXd vec1(double x) { return Eigen::VectorXd::Constant(1, x); }
Eigen::MatrixXd mat1(double x) { return Eigen::MatrixXd::Constant(1, 1, x); }

double rel_diff(double a, double b) { return std::fabs(a - b) / std::fmax(std::fabs(b), 1e-300); }

void expect_close(const ForecastResult& got, const ForecastResult& want, double tol) {
  for (Vec ForecastResult::*field : {&ForecastResult::mean, &ForecastResult::variance,
                                     &ForecastResult::ci_lower, &ForecastResult::ci_upper}) {
    ASSERT_EQ((got.*field).size(), (want.*field).size());
    for (std::size_t h = 0; h < (got.*field).size(); ++h)
      EXPECT_LE(rel_diff((got.*field)[h], (want.*field)[h]), tol) << "step " << h;
  }
}

// --- z_score ------------------------------------------------------------------

TEST(ZScore, ExactQuantileWithinTheApproximationErrorAndEdges) {
  const boost::math::normal_distribution<double> normal;
  // Both tails, the central region and its boundaries at 0.02425 / 0.97575.
  for (double p : {1e-300, 1e-12, 1e-4, 0.005, 0.02424, 0.02425, 0.02426, 0.1, 0.3, 0.4999,
                   0.5001, 0.7, 0.9, 0.95, 0.975, 0.97574, 0.97576, 0.995, 1 - 1e-9}) {
    EXPECT_LE(rel_diff(z_score(p), boost::math::quantile(normal, p)), 1.2e-9) << "p = " << p;
  }
  EXPECT_EQ(z_score(0.5), 0.0);
  EXPECT_EQ(z_score(0.5 + 5e-16), 0.0);
  EXPECT_EQ(z_score(0.0), -INF);
  EXPECT_EQ(z_score(-1.0), -INF);
  EXPECT_EQ(z_score(1.0), INF);
  EXPECT_EQ(z_score(2.0), INF);
  // Dyadic tail probabilities, for which 1 − (1 − p) == p exactly.
  for (double p : {0.0078125, 0.015625, 0x1p-20}) EXPECT_EQ(z_score(1.0 - p), -z_score(p));
}

// --- forecast_from_state ------------------------------------------------------

TEST(ForecastFromState, RegressorChecksInOrder) {
  struct Case {
    const char* name;
    std::size_t n_beta;
    std::size_t steps;
    std::optional<Columns> future;
    const char* message;  // null: succeeds
  };
  const std::vector<Case> cases = {
      {"missing", 1, 3, std::nullopt,
       "invalid input: model has exogenous variables: future_exog is required for forecasting"},
      {"missing, no steps", 1, 0, std::nullopt, nullptr},
      {"extra column", 0, 3, Columns{{1, 2, 3}},
       "invalid input: future_exog column count mismatch: expected 0, got 1"},
      {"short", 2, 3, Columns{{1, 2, 3}, {1, 2}},
       "invalid input: future_exog column 1 has 2 rows but 3 forecast steps requested"},
      {"NaN past steps", 1, 2, Columns{{1, 2, NaN}},
       "invalid input: future_exog column 0 contains NaN or Inf values"},
      {"NaN before short", 2, 3, Columns{{1, -INF, 3}, {1}},
       "invalid input: future_exog column 0 contains NaN or Inf values"},
      {"short before NaN", 2, 3, Columns{{1}, {NaN, 2, 3}},
       "invalid input: future_exog column 0 has 1 rows but 3 forecast steps requested"},
      {"no steps, count", 1, 0, Columns{{}, {}},
       "invalid input: future_exog column count mismatch: expected 1, got 2"},
      {"longer than steps", 1, 2, Columns{{1, 2, 3, 4}}, nullptr},
  };
  const StateSpace ss = white_noise(1.0);
  for (const Case& c : cases) {
    const Vec beta(c.n_beta, 0.5);
    auto r = forecast_from_state(ss, vec1(0.0), mat1(1.0), c.steps, c.future ? &*c.future : nullptr,
                                 beta, Trend::None, false, {}, 10, 1.0, 0.05);
    if (c.message == nullptr) {
      ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().display();
      EXPECT_EQ(r->ci_upper.size(), c.steps) << c.name;
    } else {
      ASSERT_FALSE(r.has_value()) << c.name;
      EXPECT_EQ(r.error().display(), c.message) << c.name;
    }
  }
}

TEST(ForecastFromState, AutoregressionOfOrderOneInClosedForm) {
  SarimaxParams p;
  p.ar = {0.8};
  p.sigma2 = 2.0;
  const Vec y(5, 0.0);
  auto ss = StateSpace::create(cfg({.p = 1}), p, y, nullptr);
  ASSERT_TRUE(ss.has_value());
  const double a0 = 3.0, p0 = 0.5;
  const Columns future{{1.0, -2.0, 0.5, 4.0, 7.0, 9.0}};
  auto r = forecast_from_state(*ss, vec1(a0), mat1(p0), 5, &future, Vec{1.5}, Trend::None, false,
                               {}, 5, 99.0, 0.1);
  ASSERT_TRUE(r.has_value());
  const double q = boost::math::quantile(boost::math::normal_distribution<double>(), 0.95);
  for (std::size_t h = 0; h < 5; ++h) {
    const double phi_h = std::pow(0.8, static_cast<double>(h));
    const double mean = phi_h * a0 + 1.5 * future[0][h];
    // φ^2h·P0 + σ²(1 − φ^2h)/(1 − φ²)
    const double var = phi_h * phi_h * p0 + 2.0 * (1.0 - phi_h * phi_h) / (1.0 - 0.64);
    EXPECT_NEAR(r->mean[h], mean, 1e-13) << h;
    EXPECT_NEAR(r->variance[h], var, 1e-13) << h;
    EXPECT_NEAR(r->ci_lower[h], mean - q * std::sqrt(var), 1e-8) << h;
    EXPECT_NEAR(r->ci_upper[h], mean + q * std::sqrt(var), 1e-8) << h;
  }
  // With the scale concentrated, Q is 1 and the filter's scale multiplies.
  p.sigma2.reset();
  auto ss1 = StateSpace::create(cfg({.p = 1}), p, y, nullptr);
  auto c = forecast_from_state(*ss1, vec1(a0), mat1(p0 / 2.0), 5, &future, Vec{1.5}, Trend::None,
                               true, {}, 5, 2.0, 0.1);
  ASSERT_TRUE(c.has_value());
  for (std::size_t h = 0; h < 5; ++h) EXPECT_NEAR(c->variance[h], r->variance[h], 1e-13) << h;
}

TEST(ForecastFromState, TrendOfTimeT0PlusHEntersOnTheMoveFromStepH) {
  struct Case {
    Trend trend;
    Vec b;
    Vec mean;
  };
  // White noise: each mean after the first is the trend term that just entered.
  const std::vector<Case> cases = {
      {Trend::Linear, {1.0}, {7.0, 100.0, 101.0, 102.0}},
      {Trend::Constant, {2.5}, {7.0, 2.5, 2.5, 2.5}},
      {Trend::ConstantLinear, {2.0, 0.5}, {7.0, 52.0, 52.5, 53.0}},
      {Trend::ConstantLinear, {2.0}, {7.0, 2.0, 2.0, 2.0}},
      {Trend::Linear, {}, {7.0, 0.0, 0.0, 0.0}},
  };
  for (const Case& c : cases) {
    auto r = forecast_from_state(white_noise(1.0), vec1(7.0), mat1(0.0), 4, nullptr, {}, c.trend,
                                 false, c.b, 100, 1.0, 0.05);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->mean, c.mean) << static_cast<int>(c.trend) << " with " << c.b.size();
  }
}

TEST(ForecastFromState, ImpossibleVariancesCollapseTheInterval) {
  for (double p0 : {-1.0, NaN, -0.0}) {
    auto r = forecast_from_state(white_noise(1.0), vec1(4.0), mat1(p0), 2, nullptr, {},
                                 Trend::None, false, {}, 0, 1.0, 0.05);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->variance[0], 0.0);
    EXPECT_FALSE(std::signbit(r->variance[0])) << p0;
    EXPECT_EQ(r->ci_lower[0], 4.0);
    EXPECT_EQ(r->ci_upper[0], 4.0);
  }
}

// --- forecast_pipeline ----------------------------------------------------------

// Differencing twice: the differenced model is white noise, so the level's
// forecast error at step h is Σ (h − j + 1)·ε over the h + 1 future shocks.
TEST(ForecastPipeline, SimpleDifferencingCarriesCovariancesIntoTheLevel) {
  const Vec y = series(60, 5);
  SarimaxParams p;
  p.sigma2 = 0.7;
  const SarimaxConfig config = cfg({.d = 2}, Trend::None, 0, false, true, true);
  auto r = forecast_pipeline(y, config, p, 10, nullptr, nullptr, 0.05);
  ASSERT_TRUE(r.has_value());
  const double last = y[59], slope = y[59] - y[58];
  double squares = 0.0;
  for (std::size_t h = 0; h < 10; ++h) {
    const double k = static_cast<double>(h + 1);
    squares += k * k;
    EXPECT_NEAR(r->mean[h], last + k * slope, 1e-12 * std::fabs(last)) << h;
    EXPECT_NEAR(r->variance[h], 0.7 * squares, 1e-12) << h;
  }
  // The sum of the per-step variances of the differenced forecast would be 55σ².
  EXPECT_NEAR(r->variance[9], 385.0 * 0.7, 1e-12);
}

// Under simple differencing the regressors are differenced with the series:
// the forecast then equals that of the model in its integrated form (the
// same likelihood up to the approximately diffuse start of its differencing
// states), with the future regressors applied to the level.
TEST(ForecastPipeline, SimpleDifferencingAgreesWithTheIntegratedModel) {
  struct Case {
    SarimaxOrder order;
    Trend trend;
    SarimaxParams params;
    // the differenced model's trend counted on the series' own time index
    Trend integrated_trend;
    Vec integrated_b;
  };
  SarimaxParams plain;
  plain.exog = {1.5, -0.8};
  plain.ar = {0.5};
  plain.sigma2 = 0.02;
  SarimaxParams seasonal = plain;
  seasonal.ma = {0.3};
  seasonal.seasonal_ma = {-0.5};
  SarimaxParams drift = plain;
  drift.trend = {0.05};
  SarimaxParams slope = plain;
  slope.trend = {0.002};
  const std::vector<Case> cases = {
      {{.p = 1, .d = 1}, Trend::None, plain, Trend::None, {}},
      {{.p = 1, .d = 1, .q = 1, .D = 1, .Q = 1, .s = 4}, Trend::None, seasonal, Trend::None, {}},
      {{.p = 1, .d = 2}, Trend::Constant, drift, Trend::Constant, {0.05}},
      {{.p = 1, .d = 1}, Trend::Linear, slope, Trend::ConstantLinear, {-0.002, 0.002}},
  };
  const std::size_t n = 150, steps = 20;
  const Vec y0 = series(n, 17);
  const Columns x = regressors(n + steps + 5, 19);
  const Columns in_sample = rows(x, 0, n), future = rows(x, n, n + steps + 5);
  Vec y(n);
  for (std::size_t t = 0; t < n; ++t) y[t] = 0.1 * y0[t] + 1.5 * x[0][t] - 0.8 * x[1][t];
  for (const Case& c : cases) {
    const SarimaxConfig sd = cfg(c.order, c.trend, 2, false, true, true);
    auto got = forecast_pipeline(y, sd, c.params, steps, &in_sample, &future, 0.05);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    SarimaxParams ip = c.params;
    ip.trend = c.integrated_b;
    auto want = forecast_pipeline(y, cfg(c.order, c.integrated_trend, 2), ip, steps,
                                  &in_sample, &future, 0.05);
    ASSERT_TRUE(want.has_value());
    expect_close(*got, *want, 1e-9);
  }
}

// The regressors' length is checked where the likelihood checks it: on the
// differenced columns under simple differencing. (The other texts of both
// paths are checked through sarimax_forecast.)
TEST(ForecastPipeline, RegressorLengthOnBothPaths) {
  const Vec y = series(40, 41);
  const Columns exog{Vec(39, 1.0)}, future{Vec(5, 1.0)};
  SarimaxParams p;
  p.exog = {0.5};
  p.sigma2 = 1.0;
  for (bool sd : {false, true}) {
    auto r = forecast_pipeline(y, cfg({.d = 1}, Trend::None, 1, false, true, sd), p, 3, &exog,
                               &future, 0.05);
    ASSERT_FALSE(r.has_value()) << sd;
    EXPECT_EQ(r.error().display(),
              sd ? "invalid input: exog column 0 has 38 rows after simple_differencing, but y "
                   "has 39 observations"
                 : "data error: exog column 0 has 39 rows but y has 40 observations");
  }
}

}  // namespace
}  // namespace peltaro::apply::forecast
