#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "peltaro/apply/diagnostics.hpp"
#include "score_fixtures.hpp"
#include "white_noise.hpp"

using namespace peltaro::apply;
using peltaro::core::Columns;
using peltaro::core::SarimaxOrder;
using peltaro::core::Trend;
using peltaro::core::Vec;
using peltaro::score_fixtures::cfg;
using peltaro::testing::white_noise;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

}  // namespace

TEST(ResidualDiagnostics, EmptyVectorGivesEveryDefault) {
  const DiagnosticsResult d = residual_diagnostics({}, 4);
  EXPECT_EQ(d.ljung_box_df, 1u);
  const double fields[] = {d.ljung_box_stat,   d.ljung_box_pvalue, d.jarque_bera_stat,
                           d.jarque_bera_pvalue, d.het_stat,        d.het_pvalue};
  const double defaults[] = {0.0, 1.0, 0.0, 1.0, 1.0, 1.0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(fields[i], defaults[i]) << i;
}

// A constant vector has no spread, whatever rounding its mean suffers:
// 0.1 summed 30 times and divided by 30 is not 0.1.
TEST(ResidualDiagnostics, ConstantVectorHasNoSpread) {
  const DiagnosticsResult d = residual_diagnostics(Vec(30, 0.1), 3);
  EXPECT_EQ(d.ljung_box_stat, 0.0);
  EXPECT_EQ(d.ljung_box_pvalue, 1.0);
  EXPECT_EQ(d.ljung_box_df, 6u);  // not reduced by K
  EXPECT_EQ(d.jarque_bera_stat, 0.0);
  EXPECT_EQ(d.jarque_bera_pvalue, 1.0);
  EXPECT_EQ(d.het_stat, INF);
  EXPECT_EQ(d.het_pvalue, 0.0);
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

TEST(Heteroskedasticity, BlockLengthRounding) {
  // n: 4 → h 1 (no test), 5 → 2, 7 → 2, 8 → 3. The first block has sample
  // variance 2 or 1, the last a quarter of it; the 9s must never count.
  struct Case {
    Vec r;
    double stat;
  } cases[] = {
      {{1, 3, 5, 7}, 1.0},
      {{0, 2, 9, 0.5, -0.5}, 0.25},
      {{0, 2, 9, 9, 9, 0.5, -0.5}, 0.25},
      {{0, 2, 1, 9, 9, 0.5, -0.5, 0}, 0.25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "n=" << c.r.size());
    EXPECT_EQ(heteroskedasticity(c.r).stat, c.stat);
  }
}

TEST(Heteroskedasticity, ConstantFirstBlockRejectsWithInfiniteRatio) {
  Vec r = white_noise(30, 9);
  for (std::size_t t = 0; t < 10; ++t) r[t] = 0.7;
  const Heteroskedasticity het = heteroskedasticity(r);
  EXPECT_EQ(het.stat, INF);
  EXPECT_EQ(het.pvalue, 0.0);
}

// A ratio too large for a double is still the far upper tail.
TEST(Heteroskedasticity, OverflowingRatioRejects) {
  Vec r = white_noise(30, 10);
  for (std::size_t t = 0; t < 10; ++t) r[t] *= 1e-10;
  for (std::size_t t = 20; t < 30; ++t) r[t] *= 1e150;
  const Heteroskedasticity het = heteroskedasticity(r);
  EXPECT_EQ(het.stat, INF);
  EXPECT_EQ(het.pvalue, 0.0);
}

// The p values are 1 − F(x) as computed: far in the tail they are exactly 0.
TEST(LjungBox, FarTailPValueIsExactlyZero) {
  Vec ramp(200);
  for (std::size_t t = 0; t < ramp.size(); ++t) ramp[t] = static_cast<double>(t);
  const LjungBox lb = ljung_box(ramp, 0);
  EXPECT_GT(lb.stat, 1000.0);
  EXPECT_EQ(lb.pvalue, 0.0);
}

TEST(ResidualDiagnostics, NonFiniteResidualsGiveNaN) {
  for (double bad : {NaN, INF}) {
    SCOPED_TRACE(bad);
    Vec r = white_noise(30, 11);
    r[0] = bad;
    const DiagnosticsResult d = residual_diagnostics(r, 2);
    EXPECT_TRUE(std::isnan(d.ljung_box_stat));
    EXPECT_TRUE(std::isnan(d.ljung_box_pvalue));
    EXPECT_EQ(d.ljung_box_df, 4u);
    EXPECT_TRUE(std::isnan(d.jarque_bera_stat));
    EXPECT_TRUE(std::isnan(d.jarque_bera_pvalue));
    EXPECT_TRUE(std::isnan(d.het_stat));
    EXPECT_TRUE(std::isnan(d.het_pvalue));
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

TEST(ComputeDiagnostics, ModelErrorsComeBackUnchanged) {
  const Vec y = white_noise(30, 14);
  const Columns short_column{Vec(5, 1.0)};
  struct Case {
    SarimaxOrder order;
    std::uint64_t n_exog;
    Vec params;
    std::size_t n;
    const char* message;
  } cases[] = {
      {{1, 0, 0, 0, 0, 0, 0}, 0, {0.5}, 30, "parameter length mismatch: expected 2, got 1"},
      {{0, 1, 1, 0, 1, 1, 12}, 0, {0.1, 0.1, -1.0}, 10,
       "data error: variance sigma2 must be positive, got -1"},
      {{0, 0, 0, 0, 0, 0, 0}, 1, {0.2, 1.0}, 30,
       "data error: exog column 0 has 5 rows but y has 30 observations"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const auto config = cfg(c.order, Trend::None, c.n_exog);
    const auto got = compute_diagnostics(std::span(y).first(c.n), config, c.params,
                                         c.n_exog > 0 ? &short_column : nullptr);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), c.message);
  }
}
