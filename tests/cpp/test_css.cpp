// Differencing and the conditional sum-of-squares log-likelihood, against
// hand-expanded polynomials and values worked out by hand.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "peltaro/core/css.hpp"
#include "peltaro/core/params.hpp"

namespace peltaro::core {
namespace {

SarimaxConfig config_of(SarimaxOrder order, std::uint64_t n_exog = 0) {
  SarimaxConfig c;
  c.order = order;
  c.n_exog = n_exog;
  return c;
}

Vec noise(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> dist(0.0, 1.0);
  Vec y(n);
  double level = 0.0;
  for (double& v : y) {
    level += dist(gen);
    v = level + 0.5 * dist(gen);
  }
  return y;
}

bool is_neg_inf(double x) { return std::isinf(x) && x < 0.0; }

// −(m/2)·ln(SSR/m) − m/2 from the residuals e_t, t ≥ t0.
double concentrated(const Vec& e, std::size_t t0) {
  double ssr = 0.0;
  for (std::size_t t = t0; t < e.size(); ++t) ssr += e[t] * e[t];
  const double m = static_cast<double>(e.size() - t0);
  return -0.5 * m * (std::log(ssr / m) + 1.0);
}

TEST(ApplyDifferencing, SeasonalPassNeedsMoreThanOnePeriod) {
  Vec y12(12), y13(13);
  for (std::size_t i = 0; i < 13; ++i) {
    const double v = static_cast<double>(i * i);
    if (i < 12) y12[i] = v;
    y13[i] = v;
  }
  // 12 values: the seasonal pass is skipped, the ordinary one still runs.
  const Vec a = apply_differencing(y12, config_of({.d = 1, .D = 1, .s = 12}));
  ASSERT_EQ(a.size(), 11u);
  for (std::size_t i = 0; i < 11; ++i) EXPECT_EQ(a[i], static_cast<double>(2 * i + 1));
  // 13 values: one value left, y_12 − y_0.
  EXPECT_EQ(apply_differencing(y13, config_of({.D = 1, .s = 12})), Vec{144.0});
  // ... and the ordinary pass that no longer fits is skipped.
  EXPECT_EQ(apply_differencing(y13, config_of({.d = 1, .D = 1, .s = 12})), Vec{144.0});
}

TEST(ApplyDifferencing, ShortAndDegenerateInputs) {
  const Vec y{3.0, 5.0, 10.0, 20.0};
  // No seasonal pass without a period, and no error.
  EXPECT_EQ(apply_differencing(y, config_of({.D = 1, .s = 0})), y);
  EXPECT_EQ(apply_differencing(y, config_of({.d = 1, .D = 2, .s = 0})), (Vec{2.0, 5.0, 10.0}));
  // d = 2 on two values: one pass fits, the second is skipped.
  EXPECT_EQ(apply_differencing(Vec{1.0, 4.0}, config_of({.d = 2})), Vec{3.0});
  EXPECT_TRUE(apply_differencing(Vec{}, config_of({.d = 1, .D = 1, .s = 4})).empty());
  EXPECT_EQ(apply_differencing(Vec{7.0}, config_of({.d = 3})), Vec{7.0});
  // No differencing: a plain copy.
  EXPECT_EQ(apply_differencing(y, config_of({.p = 2, .q = 1})), y);
}

TEST(ApplyDifferencing, MatchesExpandedDifferenceOperators) {
  const Vec y = noise(30, 1);
  // (1 − L)(1 − L⁴) = 1 − L − L⁴ + L⁵.
  const Vec w = apply_differencing(y, config_of({.d = 1, .D = 1, .s = 4}));
  ASSERT_EQ(w.size(), 25u);
  for (std::size_t t = 0; t < w.size(); ++t)
    EXPECT_NEAR(w[t], y[t + 5] - y[t + 4] - y[t + 1] + y[t], 1e-12) << t;
  // (1 − L²)²(1 − L)² = (1 − 2L² + L⁴)(1 − 2L + L²)
  //                   = 1 − 2L − L² + 4L³ − L⁴ − 2L⁵ + L⁶.
  const Vec w2 = apply_differencing(y, config_of({.d = 2, .D = 2, .s = 2}));
  ASSERT_EQ(w2.size(), 24u);
  for (std::size_t t = 0; t < w2.size(); ++t) {
    const std::size_t i = t + 6;
    const double want = y[i] - 2 * y[i - 1] - y[i - 2] + 4 * y[i - 3] - y[i - 4] - 2 * y[i - 5] + y[i - 6];
    EXPECT_NEAR(w2[t], want, 1e-11) << t;
  }
  // Seasonal passes stop once the series is no longer than the period.
  EXPECT_EQ(apply_differencing(Vec{1.0, 4.0, 9.0, 16.0, 25.0}, config_of({.D = 3, .s = 2})),
            Vec{8.0});
}

// AR(1), φ = 0.5, y = (1, 3, 2, 4): residuals 2.5, 0.5, 3 after t0 = 1,
// SSR = 15.5 over m = 3.
TEST(CssLoglike, TinyCasesWorkedByHand) {
  SarimaxParams ar1;
  ar1.ar = {0.5};
  EXPECT_NEAR(css_loglike_with_exog(Vec{1.0, 3.0, 2.0, 4.0}, config_of({.p = 1}), ar1, nullptr),
              -1.5 * std::log(15.5 / 3.0) - 1.5, 1e-14);
  // ARIMA(0,1,1), θ = 0.5, y = (0, 1, 3, 2): w = (1, 2, −1), t0 = 1,
  // e_1 = 2, e_2 = −1 − 0.5·2 = −2, SSR = 8 over m = 2.
  SarimaxParams ma1;
  ma1.ma = {0.5};
  EXPECT_NEAR(
      css_loglike_with_exog(Vec{0.0, 1.0, 3.0, 2.0}, config_of({.d = 1, .q = 1}), ma1, nullptr),
      -std::log(4.0) - 1.0, 1e-14);
}

TEST(CssLoglike, WithoutArmaTermsUsesTheDifferencedSeries) {
  const SarimaxParams none;
  // w = (1, −1, 3): SSR = 11 over m = 3.
  EXPECT_NEAR(css_loglike_with_exog(Vec{2.0, 3.0, 2.0, 5.0}, config_of({.d = 1}), none, nullptr),
              -1.5 * std::log(11.0 / 3.0) - 1.5, 1e-14);
  // A straight line twice differenced is all zeros: no finite value.
  EXPECT_TRUE(is_neg_inf(
      css_loglike_with_exog(Vec{1.0, 2.0, 3.0, 4.0, 5.0}, config_of({.d = 2}), none, nullptr)));
  // A difference that does not fit is skipped, so one value stays: m = 1,
  // SSR = 1.
  EXPECT_EQ(css_loglike_with_exog(Vec{1.0}, config_of({.d = 1}), none, nullptr), -0.5);
  EXPECT_TRUE(is_neg_inf(css_loglike_with_exog(Vec{}, config_of({}), none, nullptr)));
}

TEST(CssLoglike, NeedsMoreValuesThanTheLagDegree) {
  SarimaxParams ar2;
  ar2.ar = {0.5, 0.25};
  const SarimaxConfig config = config_of({.p = 2});
  EXPECT_TRUE(is_neg_inf(css_loglike_with_exog(Vec{1.0, 2.0}, config, ar2, nullptr)));
  // t0 + 1 values: m = 1, e_2 = 4 − 0.5·2 − 0.25·1 = 2.75.
  EXPECT_NEAR(css_loglike_with_exog(Vec{1.0, 2.0, 4.0}, config, ar2, nullptr),
              -0.5 * std::log(2.75 * 2.75) - 0.5, 1e-14);
  // The degree is that of the seasonal product: p + s·P = 1 + 4 = 5.
  SarimaxParams sar;
  sar.ar = {0.3};
  sar.seasonal_ar = {0.2};
  const SarimaxConfig seasonal = config_of({.p = 1, .P = 1, .s = 4});
  EXPECT_TRUE(is_neg_inf(css_loglike_with_exog(noise(5, 2), seasonal, sar, nullptr)));
  EXPECT_TRUE(std::isfinite(css_loglike_with_exog(noise(6, 2), seasonal, sar, nullptr)));
}

TEST(CssLoglike, NonFiniteDataGivesNegativeInfinity) {
  SarimaxParams p;
  p.ar = {0.4};
  p.ma = {0.2};
  Vec y = noise(40, 3);
  y[17] = std::nan("");
  const double v = css_loglike_with_exog(y, config_of({.p = 1, .d = 1, .q = 1}), p, nullptr);
  EXPECT_TRUE(is_neg_inf(v));
  EXPECT_FALSE(std::isnan(v));
  y[17] = INFINITY;
  EXPECT_TRUE(is_neg_inf(css_loglike_with_exog(y, config_of({.p = 1, .q = 1}), p, nullptr)));
}

// SARIMA(1,1,1)(1,1,1,4) with one regressor against the hand-expanded
// operators: w = (1 − L)(1 − L⁴)(y − βx), AR (1 − φL)(1 − ΦL⁴), MA
// (1 + θL)(1 + ΘL⁴), residuals zero before lag 5.
TEST(CssLoglike, SeasonalModelMatchesExpandedPolynomials) {
  const double beta = 0.8, phi = 0.5, theta = 0.3, Phi = -0.4, Theta = 0.2;
  const std::size_t n = 80;
  const Vec y = noise(n, 4);
  const Columns x{noise(n, 5)};
  SarimaxParams params;
  params.exog = {beta};
  params.ar = {phi};
  params.ma = {theta};
  params.seasonal_ar = {Phi};
  params.seasonal_ma = {Theta};
  params.sigma2 = 3.0;
  const SarimaxConfig config = config_of({.p = 1, .d = 1, .q = 1, .P = 1, .D = 1, .Q = 1, .s = 4}, 1);

  Vec u(n - 5);
  for (std::size_t t = 0; t < u.size(); ++t) {
    auto diff = [&](const Vec& z) { return z[t + 5] - z[t + 4] - z[t + 1] + z[t]; };
    u[t] = diff(y) - beta * diff(x[0]);
  }
  Vec e(u.size(), 0.0);
  for (std::size_t t = 5; t < u.size(); ++t) {
    e[t] = u[t] - phi * u[t - 1] - Phi * u[t - 4] + phi * Phi * u[t - 5] - theta * e[t - 1] -
           Theta * e[t - 4] - theta * Theta * e[t - 5];
  }
  const double want = concentrated(e, 5);
  const double got = css_loglike_with_exog(y, config, params, &x);
  EXPECT_NEAR(got, want, 1e-12 * std::fabs(want));
  // The regression effect matters here, so the check above sees it.
  EXPECT_GT(std::fabs(css_loglike_with_exog(y, config, params, nullptr) - want), 1e-3);
}

// D = 2 has no state-space form but is fine here: (1 − L²)², AR (1 − φL),
// seasonal MA (1 + ΘL²).
TEST(CssLoglike, SecondSeasonalDifferenceIsAccepted) {
  const double phi = -0.3, Theta = 0.45;
  const Vec y = noise(50, 6);
  SarimaxParams params;
  params.ar = {phi};
  params.seasonal_ma = {Theta};
  const SarimaxConfig config = config_of({.p = 1, .D = 2, .Q = 1, .s = 2});
  Vec w(y.size() - 4);
  for (std::size_t t = 0; t < w.size(); ++t) w[t] = y[t + 4] - 2 * y[t + 2] + y[t];
  Vec e(w.size(), 0.0);
  for (std::size_t t = 2; t < w.size(); ++t) e[t] = w[t] - phi * w[t - 1] - Theta * e[t - 2];
  const double want = concentrated(e, 2);
  EXPECT_NEAR(css_loglike_with_exog(y, config, params, nullptr), want, 1e-12 * std::fabs(want));
}

TEST(CssLoglike, MismatchedRegressorsAreIgnored) {
  const std::size_t n = 40;
  const Vec y = noise(n, 7);
  const Columns one{noise(n, 8)};
  const Columns two{noise(n, 8), noise(n, 9)};
  const Columns none;
  const SarimaxConfig config = config_of({.p = 1, .d = 1, .q = 1});
  SarimaxParams plain;
  plain.ar = {0.3};
  plain.ma = {0.1};
  const double base = css_loglike_with_exog(y, config, plain, nullptr);
  ASSERT_TRUE(std::isfinite(base));

  // Columns but no coefficients.
  EXPECT_EQ(css_loglike_with_exog(y, config, plain, &one), base);
  // Coefficients but no columns, an empty list, or too few / too many.
  SarimaxParams b1 = plain;
  b1.exog = {2.0};
  SarimaxParams b2 = plain;
  b2.exog = {2.0, -1.0};
  EXPECT_EQ(css_loglike_with_exog(y, config, b1, nullptr), base);
  EXPECT_EQ(css_loglike_with_exog(y, config, b1, &none), base);
  EXPECT_EQ(css_loglike_with_exog(y, config, b2, &one), base);
  EXPECT_EQ(css_loglike_with_exog(y, config, b1, &two), base);
  // Matching counts do change the value.
  EXPECT_NE(css_loglike_with_exog(y, config, b2, &two), base);
}

// Columns of other lengths are lined up with the end of the differenced
// series; only the overlap is adjusted, and an empty column is skipped.
TEST(CssLoglike, RegressorColumnsAlignWithTheEnd) {
  const std::size_t n = 30;
  const Vec y = noise(n, 10);
  const double beta = 1.7, gamma = -0.6, phi = 0.4;
  const SarimaxConfig config = config_of({.p = 1, .d = 1});
  SarimaxParams params;
  params.ar = {phi};
  params.exog = {beta, gamma};

  // The differenced regression residual with the adjustments written out.
  auto reference = [&](const Vec& adjust) {
    Vec w(n - 1);
    for (std::size_t t = 0; t < w.size(); ++t) w[t] = y[t + 1] - y[t] - adjust[t];
    Vec e(w.size(), 0.0);
    for (std::size_t t = 1; t < w.size(); ++t) e[t] = w[t] - phi * w[t - 1];
    return concentrated(e, 1);
  };

  const Vec longer = noise(n + 3, 11);  // 32 differences, the last 29 used
  const Vec shorter = noise(n - 10, 12);  // 19 differences, on the last 19 of w
  Vec adjust(n - 1, 0.0);
  for (std::size_t t = 0; t < n - 1; ++t) adjust[t] += beta * (longer[t + 4] - longer[t + 3]);
  for (std::size_t i = 0; i < 19; ++i) adjust[10 + i] += gamma * (shorter[i + 1] - shorter[i]);
  const Columns cols{longer, shorter};
  const double want = reference(adjust);
  EXPECT_NEAR(css_loglike_with_exog(y, config, params, &cols), want, 1e-12 * std::fabs(want));

  // An empty column contributes nothing; a one-value column (no difference
  // fits) adjusts the last value only.
  Vec adjust_one(n - 1, 0.0);
  for (std::size_t t = 0; t < n - 1; ++t) adjust_one[t] += beta * (longer[t + 4] - longer[t + 3]);
  const Columns with_empty{longer, Vec{}};
  const double want_one = reference(adjust_one);
  EXPECT_NEAR(css_loglike_with_exog(y, config, params, &with_empty), want_one,
              1e-12 * std::fabs(want_one));
  adjust_one[n - 2] += gamma * 5.0;
  const Columns with_single{longer, Vec{5.0}};
  const double want_single = reference(adjust_one);
  EXPECT_NEAR(css_loglike_with_exog(y, config, params, &with_single), want_single,
              1e-12 * std::fabs(want_single));
}

// The trend enters as the state intercept does: the value at the model's
// time τ − 1 is taken from the differenced value at τ. Times are those of the
// raw series, or of the differenced one under simple differencing. The
// variance plays no part.
TEST(CssLoglike, TrendIsTheInterceptOfTheArmaRecursion) {
  const Vec y = noise(50, 13);
  const double phi1 = 0.5, phi2 = -0.2, theta = 0.3, b0 = 10.0, b1 = -2.0;
  SarimaxParams params;
  params.ar = {phi1, phi2};
  params.ma = {theta};
  params.trend = {b0, b1};
  params.sigma2 = 123.0;
  for (const bool simple : {false, true}) {
    SarimaxConfig config = config_of({.p = 2, .d = 1, .q = 1});
    config.trend = Trend::ConstantLinear;
    config.simple_differencing = simple;
    const std::size_t L = y.size() - 1;
    const double first_time = simple ? 0.0 : 1.0;
    Vec w(L), e(L, 0.0);
    for (std::size_t t = 0; t < L; ++t) w[t] = y[t + 1] - y[t];
    for (std::size_t t = 2; t < L; ++t) {
      const double c = b0 + b1 * (first_time + static_cast<double>(t) - 1.0);
      e[t] = w[t] - c - phi1 * w[t - 1] - phi2 * w[t - 2] - theta * e[t - 1];
    }
    const double want = concentrated(e, 2);
    EXPECT_NEAR(css_loglike_with_exog(y, config, params, nullptr), want, 1e-12 * std::fabs(want))
        << simple;
  }
}

}  // namespace
}  // namespace peltaro::core
