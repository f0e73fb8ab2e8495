#include <gtest/gtest.h>

#include <cmath>

#include "peltaro/apply/residuals.hpp"
#include "peltaro/core/css.hpp"
#include "white_noise.hpp"

using namespace peltaro::core;
using peltaro::testing::white_noise;
using peltaro::apply::residuals_pipeline;

namespace {

SarimaxConfig ar1_config(bool concentrate) {
  SarimaxConfig c;
  c.order = {1, 0, 0, 0, 0, 0, 0};
  c.concentrate_scale = concentrate;
  return c;
}

}  // namespace

// AR(1): v_0 = y_0 with variance σ²/(1 − φ²), then v_t = y_t − φ·y_(t−1) with variance σ².
TEST(Residuals, Ar1MatchesTheClosedForm) {
  const double phi = 0.6, s2 = 1.7;
  const Vec y = white_noise(40, 1);
  SarimaxParams p;
  p.ar = {phi};
  p.sigma2 = s2;
  auto r = residuals_pipeline(y, ar1_config(false), p, nullptr);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  ASSERT_EQ(r->residuals.size(), y.size());
  for (std::size_t t = 0; t < y.size(); ++t) {
    const double v = t == 0 ? y[0] : y[t] - phi * y[t - 1];
    const double pv = t == 0 ? s2 / (1 - phi * phi) : s2;
    EXPECT_NEAR(r->residuals[t], v, 1e-13) << t;
    EXPECT_NEAR(r->prediction_variances[t], pv, 1e-13) << t;
    EXPECT_NEAR(r->standardized_residuals[t], v / std::sqrt(pv), 1e-13) << t;
  }
}

TEST(Residuals, ConcentratedScaleMultipliesTheVariances) {
  const double phi = -0.4;
  const Vec y = white_noise(50, 2);
  SarimaxParams p;
  p.ar = {phi};
  auto r = residuals_pipeline(y, ar1_config(true), p, nullptr);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  // Unit shock variance: F_0 = 1/(1 − φ²), F_t = 1; the scale is the mean of v²/F.
  double sum = y[0] * y[0] * (1 - phi * phi);
  for (std::size_t t = 1; t < y.size(); ++t) sum += std::pow(y[t] - phi * y[t - 1], 2);
  const double scale = sum / static_cast<double>(y.size());
  EXPECT_NEAR(r->prediction_variances[0], scale / (1 - phi * phi), 1e-13);
  for (std::size_t t = 1; t < y.size(); ++t) {
    EXPECT_NEAR(r->prediction_variances[t], scale, 1e-13) << t;
    EXPECT_NEAR(r->standardized_residuals[t], (y[t] - phi * y[t - 1]) / std::sqrt(scale), 1e-12);
  }
}

TEST(Residuals, ZeroVarianceStandardizesToZero) {
  // Zero innovations with the scale concentrated: the scale, and so every
  // prediction variance, is 0; 0/0 must not leak out as NaN.
  SarimaxParams p;
  p.ar = {0.5};
  auto r = residuals_pipeline(Vec(20, 0.0), ar1_config(true), p, nullptr);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  for (std::size_t t = 0; t < 20; ++t) {
    EXPECT_EQ(r->prediction_variances[t], 0.0);
    EXPECT_EQ(r->standardized_residuals[t], 0.0);
  }
}

TEST(Residuals, DiffuseStartIsIncluded) {
  // Every state approximately diffuse: the first k entries carry variances
  // of the order of the diffuse 1e6 and are kept.
  SarimaxConfig c;
  c.order = {1, 1, 1, 0, 0, 0, 0};
  c.enforce_stationarity = false;
  SarimaxParams p;
  p.ar = {0.3};
  p.ma = {0.2};
  p.sigma2 = 1.0;
  const Vec y = white_noise(30, 3);
  auto r = residuals_pipeline(y, c, p, nullptr);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->residuals.size(), 30u);
  EXPECT_GT(r->prediction_variances[0], 1e5);
  EXPECT_LT(r->prediction_variances[29], 10.0);
}

TEST(Residuals, SimpleDifferencingDifferencesSeriesAndRegressors) {
  // Under simple differencing the result is that of the stationary model on
  // the differenced series with differenced regressor columns.
  Vec y = white_noise(60, 4);
  Vec x(60);
  for (std::size_t t = 0; t < 60; ++t) x[t] = 0.1 * static_cast<double>(t * t) + y[t];
  for (std::size_t t = 1; t < 60; ++t) y[t] += y[t - 1] + 2.0 * (x[t] - x[t - 1]);
  SarimaxConfig sd;
  sd.order = {1, 1, 0, 0, 0, 0, 0};
  sd.n_exog = 1;
  sd.simple_differencing = true;
  SarimaxParams p;
  p.exog = {2.0};
  p.ar = {0.3};
  p.sigma2 = 1.0;
  const Columns cols{x};
  auto r = residuals_pipeline(y, sd, p, &cols);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  SarimaxConfig plain = sd;
  plain.order.d = 0;
  plain.simple_differencing = false;
  const Columns dcols{apply_differencing(x, sd)};
  auto direct = residuals_pipeline(apply_differencing(y, sd), plain, p, &dcols);
  ASSERT_TRUE(direct.has_value());
  EXPECT_EQ(r->residuals.size(), 59u);
  EXPECT_EQ(r->residuals, direct->residuals);
  EXPECT_EQ(r->prediction_variances, direct->prediction_variances);
  EXPECT_EQ(r->standardized_residuals, direct->standardized_residuals);
}

TEST(Residuals, FailuresAndTheirOrder) {
  struct Case {
    const char* name;
    SarimaxOrder order;
    bool simple_differencing;
    std::size_t n;
    std::size_t exog_rows;  // 0: no regressors
    double sigma2;
    const char* text;
  };
  const Case cases[] = {
      {"bad variance", {1, 0, 0, 0, 0, 0, 0}, false, 30, 0, -1.0,
       "data error: variance sigma2 must be positive, got -1"},
      {"NaN variance", {1, 0, 0, 0, 0, 0, 0}, false, 30, 0, NAN,
       "data error: variance sigma2 must be positive, got NaN"},
      {"D = 2 before the variance", {0, 0, 0, 0, 2, 0, 4}, false, 30, 0, -1.0,
       "state space construction failed: Seasonal differencing D > 1 is not yet supported"},
      {"regressor rows before the variance", {1, 0, 0, 0, 0, 0, 0}, false, 30, 31, 0.0,
       "data error: exog column 0 has 31 rows but y has 30 observations"},
      {"differenced regressor rows", {1, 1, 0, 0, 0, 0, 0}, true, 30, 31, 1.0,
       "invalid input: exog column 0 has 30 rows after simple_differencing, but y has 29 "
       "observations"},
      {"too short for its differencing", {0, 0, 0, 0, 1, 0, 12}, true, 12, 0, 1.0,
       "data error: Not enough observations: n=12 <= burn=12"},
      {"too short for the diffuse start", {0, 2, 0, 0, 0, 0, 0}, false, 2, 0, 1.0,
       "data error: Not enough observations: n=2 <= burn=2"},
  };
  for (const Case& c : cases) {
    SarimaxConfig config;
    config.order = c.order;
    config.simple_differencing = c.simple_differencing;
    SarimaxParams p;
    p.ar.assign(c.order.p, 0.3);
    p.sigma2 = c.sigma2;
    const Columns cols{Vec(c.exog_rows, 1.0)};
    if (c.exog_rows > 0) {
      config.n_exog = 1;
      p.exog = {0.5};
    }
    auto r = residuals_pipeline(white_noise(c.n, 5), config, p, c.exog_rows > 0 ? &cols : nullptr);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error().display(), c.text) << c.name;
  }
}
