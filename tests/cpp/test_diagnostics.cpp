#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>

#include "json_reader.hpp"
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

void expect_defaults(const DiagnosticsResult& d, std::uint64_t df) {
  EXPECT_EQ(d.ljung_box_stat, 0.0);
  EXPECT_EQ(d.ljung_box_pvalue, 1.0);
  EXPECT_EQ(d.ljung_box_df, df);
  EXPECT_EQ(d.jarque_bera_stat, 0.0);
  EXPECT_EQ(d.jarque_bera_pvalue, 1.0);
  EXPECT_EQ(d.het_stat, 1.0);
  EXPECT_EQ(d.het_pvalue, 1.0);
}

}  // namespace

// statsmodels' acorr_ljungbox and jarque_bera and scipy's F distribution on
// the same vectors (tests/data/make_diagnostics_reference.py).
TEST(ResidualDiagnostics, MatchesStatsmodelsOnReferenceVectors) {
  const auto doc = peltaro::json::read_file(PELTARO_TEST_DATA_DIR "/diagnostics_reference.json");
  const auto& vectors = doc["vectors"].array();
  ASSERT_GE(vectors.size(), 15u);
  for (const auto& c : vectors) {
    SCOPED_TRACE(c["name"].text());
    const Vec r = c["r"].numbers();
    const auto k = static_cast<std::uint64_t>(c["n_params"].number());
    const DiagnosticsResult d = residual_diagnostics(r, k);
    const auto near = [](double ours, const peltaro::json::Value& ref, double stat_default) {
      if (ref.is_null()) {
        EXPECT_EQ(ours, stat_default);
      } else {
        EXPECT_NEAR(ours, ref.number(), 1e-6 * std::fabs(ref.number()));
      }
    };
    const auto near_p = [](double ours, const peltaro::json::Value& ref) {
      EXPECT_NEAR(ours, ref.is_null() ? 1.0 : ref.number(), ref.is_null() ? 0.0 : 1e-6);
    };
    near(d.ljung_box_stat, c["ljung_box_stat"], 0.0);
    near_p(d.ljung_box_pvalue, c["ljung_box_pvalue"]);
    EXPECT_EQ(d.ljung_box_df, static_cast<std::uint64_t>(c["ljung_box_df"].number()));
    near(d.jarque_bera_stat, c["jarque_bera_stat"], 0.0);
    near_p(d.jarque_bera_pvalue, c["jarque_bera_pvalue"]);
    near(d.het_stat, c["het_stat"], 1.0);
    near_p(d.het_pvalue, c["het_pvalue"]);
  }
}

TEST(ResidualDiagnostics, EmptyVectorGivesEveryDefault) {
  expect_defaults(residual_diagnostics({}, 4), 1);
}

TEST(LjungBox, LagCountAndDegreesOfFreedom) {
  struct Case {
    std::size_t n;
    std::uint64_t k;
    std::uint64_t df;
  } cases[] = {
      {2, 7, 1}, {9, 0, 1}, {10, 1, 1}, {10, 0, 2}, {20, 4, 4}, {20, 3, 1},
      {60, 3, 7}, {60, 12, 10}, {60, 10, 10}, {60, 9, 1}, {1000, 0, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "n=" << c.n << " K=" << c.k);
    EXPECT_EQ(ljung_box(white_noise(c.n, 5), c.k).df, c.df);
  }
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

TEST(ResidualDiagnostics, TwoValuesRunOnlyLjungBox) {
  const DiagnosticsResult d = residual_diagnostics(Vec{0.3, -1.2}, 9);
  EXPECT_EQ(d.ljung_box_df, 1u);
  EXPECT_GT(d.ljung_box_stat, 0.0);
  EXPECT_EQ(d.jarque_bera_stat, 0.0);
  EXPECT_EQ(d.jarque_bera_pvalue, 1.0);
  EXPECT_EQ(d.het_stat, 1.0);
  EXPECT_EQ(d.het_pvalue, 1.0);
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

// With no dynamics and unit variance every standardized residual is the
// observation itself; K is the length of the parameter vector.
TEST(ComputeDiagnostics, WhiteNoiseModelTestsTheSeriesItself) {
  const Vec y = white_noise(60, 12);
  struct Case {
    Trend trend;
    Vec params;
    std::uint64_t df;
  } cases[] = {{Trend::None, {1.0}, 9}, {Trend::Constant, {0.0, 1.0}, 8}};
  for (const Case& c : cases) {
    const auto got = compute_diagnostics(y, cfg({0, 0, 0, 0, 0, 0, 0}, c.trend), c.params, nullptr);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    const DiagnosticsResult want = residual_diagnostics(y, c.params.size());
    EXPECT_EQ(got->ljung_box_df, c.df);
    EXPECT_EQ(got->ljung_box_stat, want.ljung_box_stat);
    EXPECT_EQ(got->ljung_box_pvalue, want.ljung_box_pvalue);
    EXPECT_EQ(got->jarque_bera_stat, want.jarque_bera_stat);
    EXPECT_EQ(got->het_stat, want.het_stat);
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
      {{1, 0, 0, 0, 0, 0, 0}, 0, {0.5, -1.0}, 30,
       "data error: variance sigma2 must be positive, got -1"},
      {{1, 0, 0, 0, 0, 0, 0}, 0, {0.5, NaN}, 30,
       "data error: variance sigma2 must be positive, got NaN"},
      {{0, 1, 1, 0, 1, 1, 12}, 0, {0.1, 0.1, 1.0}, 10,
       "data error: Not enough observations: n=10 <= burn=13"},
      {{0, 0, 0, 0, 0, 0, 0}, 1, {0.2, 1.0}, 30,
       "data error: exog column 0 has 5 rows but y has 30 observations"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const auto got = compute_diagnostics(std::span(y).first(c.n), cfg(c.order, Trend::None, c.n_exog),
                                         c.params, c.n_exog > 0 ? &short_column : nullptr);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), c.message);
  }
}
