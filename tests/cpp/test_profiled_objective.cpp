#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/profiled_objective.hpp"
#include "score_fixtures.hpp"

using namespace peltaro;
using core::Columns;
using core::SarimaxConfig;
using core::Trend;
using core::Vec;
using estimation::ProfiledSarimaxObjective;
using estimation::SarimaxObjective;
namespace fx = peltaro::score_fixtures;
using fx::cfg;

namespace {

struct Case {
  std::string name;
  SarimaxConfig config;
  Vec x;  // profiled point, unconstrained
};

// A series with a trend, two regressor effects and ARMA(1,1) noise.
struct Data {
  Vec y;
  Columns exog;
};

Data data() {
  const std::size_t n = 200;
  Data d;
  d.exog = {fx::simulate_normal(n, 61), Vec(n)};
  for (std::size_t t = 0; t < n; ++t) d.exog[1][t] = std::cos(0.2 * static_cast<double>(t));
  d.y = fx::simulate_arma(n, {0.6}, {0.3}, 62);
  for (std::size_t t = 0; t < n; ++t) {
    d.y[t] += 3.0 + 0.01 * static_cast<double>(t) + 0.8 * d.exog[0][t] - 0.5 * d.exog[1][t];
  }
  return d;
}

// Every trend kind, with and without the scale concentrated, differenced or not.
std::vector<Case> cases() {
  return {
      {"no_trend", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::None, 2), {0.5, 0.3, 0.2}},
      {"constant", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant, 2), {1.1, 0.5, 0.3, 0.2}},
      {"linear", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Linear, 2), {0.02, 0.5, 0.3, 0.2}},
      {"constant_linear", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::ConstantLinear, 2), {1.1, 0.008, 0.5, 0.3, 0.2}},
      {"constant_concentrated", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant, 2, true), {1.2, 0.6, 0.2}},
      {"differenced_linear", cfg({1, 1, 0, 0, 0, 0, 0}, Trend::Linear, 2), {0.001, -0.2, 0.4}},
      {"seasonal_ct_concentrated", cfg({1, 0, 0, 1, 0, 1, 4}, Trend::ConstantLinear, 2, true), {1.0, 0.01, 0.5, 0.1, 0.2}},
  };
}

TEST(ProfiledObjective, ValueIsTheFullLikelihoodAtTheGlsBetas) {
  const Data d = data();
  for (const Case& c : cases()) {
    const ProfiledSarimaxObjective prof(d.y, d.exog, c.config);
    auto e = prof.eval_profiled(c.x);
    ASSERT_TRUE(e.has_value()) << c.name << ": " << e.error();
    const SarimaxObjective full(d.y, d.exog, c.config);
    auto ll = full.eval_loglike(e->x_full);
    ASSERT_TRUE(ll.has_value()) << c.name;
    EXPECT_NEAR(-e->negloglike, *ll, 1e-10 * std::fabs(*ll)) << c.name;
    EXPECT_EQ(estimation::remove_exog_block(e->x_full, c.config), c.x) << c.name;

    // The betas maximise the likelihood: its derivative in them vanishes.
    const Vec g = *full.analytical_gradient_negloglike(e->x_full);
    const std::size_t k_trend = c.config.k_trend();
    for (std::size_t j = 0; j < 2; ++j) EXPECT_NEAR(g[k_trend + j], 0.0, 1e-6) << c.name << " beta " << j;
  }
}

TEST(ProfiledObjective, TrendCoefficientsMoveTheValue) {
  const Data d = data();
  const Case c = cases()[1];
  const ProfiledSarimaxObjective prof(d.y, d.exog, c.config);
  Vec shifted = c.x;
  shifted[0] += 0.5;
  EXPECT_NE(prof.eval_profiled(c.x)->negloglike, prof.eval_profiled(shifted)->negloglike);
}

TEST(ProfiledObjective, GradientMatchesCentralDifferencesOfTheProfile) {
  const Data d = data();
  for (const Case& c : cases()) {
    const ProfiledSarimaxObjective prof(d.y, d.exog, c.config);
    auto g = prof.analytical_gradient_negloglike(c.x);
    ASSERT_TRUE(g.has_value()) << c.name << ": " << g.error();
    const Vec fd = fx::richardson_gradient(
        [&](const Vec& p) { return prof.eval_profiled(p)->negloglike; }, c.x);
    double largest = 0.0;
    for (double v : fd) largest = std::fmax(largest, std::fabs(v));
    for (std::size_t i = 0; i < fd.size(); ++i) {
      EXPECT_NEAR((*g)[i], fd[i], 1e-5 * std::fmax(std::fabs(fd[i]), 1e-3 * largest))
          << c.name << " coordinate " << i;
    }
  }
}

TEST(ProfiledObjective, WithoutRegressorsItIsThePlainLikelihood) {
  const Data d = data();
  const SarimaxConfig c = cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant);
  const Vec x{3.0, 0.5, 0.3, 0.2};
  const ProfiledSarimaxObjective prof(d.y, {}, c);
  auto e = prof.eval_profiled(x);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->x_full, x);
  EXPECT_EQ(-e->negloglike, *SarimaxObjective(d.y, std::nullopt, c).eval_loglike(x));
}

TEST(ProfiledObjective, ZeroRegressorGetsBetaZero) {
  const Data d = data();
  const Columns cols{d.exog[0], Vec(d.y.size(), 0.0)};
  const ProfiledSarimaxObjective prof(d.y, cols, cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant, 2));
  auto e = prof.eval_profiled(Vec{1.1, 0.5, 0.3, 0.2});
  ASSERT_TRUE(e.has_value()) << e.error();
  EXPECT_EQ(e->params.exog[1], 0.0);
  EXPECT_NEAR(e->params.exog[0], 0.8, 0.1);
}

TEST(ProfiledObjective, RefusesWhatItCannotEvaluate) {
  const Data d = data();
  const SarimaxConfig c = cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant, 2);
  const ProfiledSarimaxObjective prof(d.y, d.exog, c);
  EXPECT_EQ(prof.eval_profiled(Vec{1.0, 0.5, 0.3, 0.2, 0.0}).error(),
            "profiled parameter length mismatch: expected 4, got 5");
  const ProfiledSarimaxObjective one_column(d.y, Columns{d.exog[0]}, c);
  EXPECT_EQ(one_column.eval_profiled(Vec{1.0, 0.5, 0.3, 0.2}).error(), "missing exog column 1");
  EXPECT_EQ(one_column.analytical_gradient_negloglike(Vec{1.0, 0.5, 0.3, 0.2}).error(),
            "missing exog column 1");
  const ProfiledSarimaxObjective short_column(d.y, Columns{d.exog[0], Vec(10, 1.0)}, c);
  EXPECT_EQ(short_column.eval_profiled(Vec{1.0, 0.5, 0.3, 0.2}).error(),
            "data error: kalman_filter_batched: series 2 has length 10 but series 0 has length 200");
}

TEST(ProfiledObjective, ExogBlockMovesInAndOut) {
  const Vec full = estimation::insert_exog_block(Vec{1, 2, 3}, Vec{8, 9}, Trend::Constant);
  EXPECT_EQ(full, (Vec{1, 8, 9, 2, 3}));
  EXPECT_EQ(estimation::remove_exog_block(full, cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant, 2)),
            (Vec{1, 2, 3}));
  EXPECT_EQ(estimation::insert_exog_block(Vec{1, 2, 3}, Vec{8}, Trend::ConstantLinear),
            (Vec{1, 2, 8, 3}));
  EXPECT_THROW(estimation::insert_exog_block(Vec{1}, Vec{8}, Trend::ConstantLinear), std::logic_error);
}

}  // namespace
