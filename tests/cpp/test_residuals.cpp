#include <gtest/gtest.h>

#include <cmath>

#include "peltaro/apply/residuals.hpp"
#include "peltaro/core/css.hpp"
#include "score_fixtures.hpp"
#include "white_noise.hpp"

using namespace peltaro::core;
using peltaro::apply::residuals_pipeline;
using peltaro::score_fixtures::cfg;
using peltaro::testing::white_noise;

// AR(1): v_0 = y_0 with variance q/(1 − φ²), then v_t = y_t − φ·y_(t−1) with
// variance q; q = σ², or with the scale concentrated the scale itself, the
// mean of v_t² over the unit-shock variances.
TEST(Residuals, Ar1MatchesTheClosedForm) {
  const double phi = 0.6, s2 = 1.7;
  const Vec y = white_noise(40, 1);
  for (const bool concentrate : {false, true}) {
    SarimaxParams p;
    p.ar = {phi};
    if (!concentrate) p.sigma2 = s2;
    double sum = y[0] * y[0] * (1 - phi * phi);
    for (std::size_t t = 1; t < y.size(); ++t) sum += std::pow(y[t] - phi * y[t - 1], 2);
    const double q = concentrate ? sum / static_cast<double>(y.size()) : s2;
    auto r = residuals_pipeline(y, cfg({.p = 1}, Trend::None, 0, concentrate), p, nullptr);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    ASSERT_EQ(r->residuals.size(), y.size());
    for (std::size_t t = 0; t < y.size(); ++t) {
      const double v = t == 0 ? y[0] : y[t] - phi * y[t - 1];
      const double pv = t == 0 ? q / (1 - phi * phi) : q;
      EXPECT_NEAR(r->residuals[t], v, 1e-13) << t;
      EXPECT_NEAR(r->prediction_variances[t], pv, 1e-13) << t;
      EXPECT_NEAR(r->standardized_residuals[t], v / std::sqrt(pv), 1e-12) << t;
    }
  }
}

// Zero innovations with the scale concentrated: the scale, and so every
// prediction variance, is 0; 0/0 must not come out as NaN.
TEST(Residuals, ZeroVarianceStandardizesToZero) {
  SarimaxParams p;
  p.ar = {0.5};
  auto r = residuals_pipeline(Vec(20, 0.0), cfg({.p = 1}, Trend::None, 0, true), p, nullptr);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->prediction_variances, Vec(20, 0.0));
  EXPECT_EQ(r->standardized_residuals, Vec(20, 0.0));
}

// Under simple differencing: the stationary model on the differenced series
// and the differenced regressor columns.
TEST(Residuals, SimpleDifferencingDifferencesSeriesAndRegressors) {
  const Vec e = white_noise(60, 4);
  Vec x(60), y(60);
  for (std::size_t t = 0; t < 60; ++t) {
    x[t] = 0.1 * static_cast<double>(t * t) + e[t];
    y[t] = (t > 0 ? y[t - 1] : 0.0) + e[t] + 2.0 * x[t];
  }
  const SarimaxConfig sd = cfg({.p = 1, .d = 1}, Trend::None, 1, false, true, true);
  const SarimaxParams p = *SarimaxParams::from_flat(Vec{2.0, 0.3, 1.0}, sd);
  const Columns cols{x}, differenced{apply_differencing(x, sd)};
  auto r = residuals_pipeline(y, sd, p, &cols);
  auto direct = residuals_pipeline(apply_differencing(y, sd), cfg({.p = 1}, Trend::None, 1), p,
                                   &differenced);
  ASSERT_TRUE(r.has_value() && direct.has_value());
  EXPECT_EQ(r->residuals.size(), 59u);
  EXPECT_EQ(r->residuals, direct->residuals);
  EXPECT_EQ(r->prediction_variances, direct->prediction_variances);
}
