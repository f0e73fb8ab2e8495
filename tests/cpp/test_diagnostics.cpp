#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "peltaro/apply/diagnostics.hpp"
#include "score_fixtures.hpp"
#include "white_noise.hpp"

using namespace peltaro::apply;
using peltaro::core::Trend;
using peltaro::core::Vec;
using peltaro::score_fixtures::cfg;
using peltaro::testing::white_noise;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

Vec with_first(Vec r, double value) {
  r[0] = value;
  return r;
}

}  // namespace

// An empty vector gets every default; a constant one has no spread, whatever
// rounding its mean suffers (0.1 summed 30 times and divided by 30 is not
// 0.1), and its degrees of freedom are not reduced by K; a value that is not
// finite makes every statistic NaN.
TEST(ResidualDiagnostics, DegenerateVectors) {
  struct Case {
    const char* name;
    Vec r;
    std::uint64_t k;
    Vec want;  // Ljung-Box stat, p, df; Jarque-Bera stat, p; variance ratio stat, p
  } cases[] = {
      {"empty", {}, 4, {0, 1, 1, 0, 1, 1, 1}},
      {"constant", Vec(30, 0.1), 3, {0, 1, 6, 0, 1, INF, 0}},
      {"NaN", with_first(white_noise(30, 11), NaN), 2, {NaN, NaN, 4, NaN, NaN, NaN, NaN}},
      {"infinite", with_first(white_noise(30, 11), INF), 2, {NaN, NaN, 4, NaN, NaN, NaN, NaN}},
  };
  for (const Case& c : cases) {
    const DiagnosticsResult d = residual_diagnostics(c.r, c.k);
    const double got[] = {d.ljung_box_stat,   d.ljung_box_pvalue, double(d.ljung_box_df),
                          d.jarque_bera_stat, d.jarque_bera_pvalue, d.het_stat, d.het_pvalue};
    for (std::size_t i = 0; i < 7; ++i) {
      if (std::isnan(c.want[i])) EXPECT_TRUE(std::isnan(got[i])) << c.name << " " << i;
      else EXPECT_EQ(got[i], c.want[i]) << c.name << " " << i;
    }
  }
}

// Skewness 0 and kurtosis exactly 3, in exact arithmetic: m2 = 3, m4 = 27.
TEST(JarqueBera, NormalMomentsGiveZero) {
  const JarqueBera jb = jarque_bera(Vec{-3, 0, 0, 0, 0, 3});
  EXPECT_EQ(jb.stat, 0.0);
  EXPECT_EQ(jb.pvalue, 1.0);
}

// n = 6: h = 2, so only r0, r1 and r4, r5 count. F(1, 1) has the closed
// form (2/π)·atan(√x): var(3, 7) / var(1, 2) = 8 / 0.5 = 16.
TEST(Heteroskedasticity, SixValuesCompareTheOuterPairs) {
  const Heteroskedasticity het = heteroskedasticity(Vec{1, 2, 1e3, -1e3, 3, 7});
  EXPECT_EQ(het.stat, 16.0);
  const double g = 2.0 / std::numbers::pi * std::atan(4.0);
  EXPECT_NEAR(het.pvalue, 2.0 * (1.0 - g), 1e-14);
}

// A ratio with a constant first block, or one too large for a double, is
// still the far upper tail.
TEST(Heteroskedasticity, InfiniteRatioRejects) {
  Vec flat = white_noise(30, 9), overflow = white_noise(30, 10);
  for (std::size_t t = 0; t < 10; ++t) {
    flat[t] = 0.7;
    overflow[t] *= 1e-10;
    overflow[t + 20] *= 1e150;
  }
  for (const Vec& r : {flat, overflow}) {
    const Heteroskedasticity het = heteroskedasticity(r);
    EXPECT_EQ(het.stat, INF);
    EXPECT_EQ(het.pvalue, 0.0);
  }
}

// Seasonal differencing with period 5 leaves the first 5 of 10 observations
// out of the likelihood: one lag on 5 residuals, not two on 10.
TEST(ComputeDiagnostics, DiffuseStartIsLeftOut) {
  const auto concentrated = cfg({0, 0, 0, 0, 1, 0, 5}, Trend::None, 0, true);
  const auto got = compute_diagnostics(white_noise(10, 13), concentrated, {}, nullptr);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_EQ(got->ljung_box_df, 1u);
}
