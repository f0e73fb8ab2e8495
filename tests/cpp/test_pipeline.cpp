#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "peltaro/core/css.hpp"
#include "peltaro/core/pipeline.hpp"

using namespace peltaro::core;

namespace {

SarimaxConfig config(SarimaxOrder o, bool sd = false) {
  SarimaxConfig c;
  c.order = o;
  c.simple_differencing = sd;
  return c;
}

Vec ramp(std::size_t n, double scale = 1.0) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> N;
  Vec y(n);
  double level = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    level += N(rng);
    y[i] = scale * (level + 0.1 * static_cast<double>(i * i % 7));
  }
  return y;
}

}  // namespace

TEST(ApplyDifferencing, PassesThatDoNotFitAreSkipped) {
  const Vec twelve(12, 1.0);
  auto c = config({0, 1, 0, 0, 1, 0, 12});
  EXPECT_EQ(apply_differencing(twelve, c).size(), 11u);  // seasonal pass skipped
  Vec thirteen(13);
  for (int i = 0; i < 13; ++i) thirteen[i] = i * i;
  EXPECT_EQ(apply_differencing(thirteen, config({0, 0, 0, 0, 1, 0, 12})), (Vec{144.0}));
  EXPECT_EQ(apply_differencing(Vec{1, 2, 3}, config({0, 0, 0, 0, 1, 0, 0})), (Vec{1, 2, 3}));
  EXPECT_EQ(apply_differencing(Vec{1, 4}, config({0, 2, 0, 0, 0, 0, 0})), (Vec{3}));
  EXPECT_TRUE(apply_differencing(Vec{}, config({0, 1, 0, 0, 1, 0, 4})).empty());
  // Seasonal first, then ordinary: (1 − L)(1 − L²) of a cubic.
  Vec cube(8);
  for (int i = 0; i < 8; ++i) cube[i] = i * i * i;
  const Vec got = apply_differencing(cube, config({0, 1, 0, 0, 1, 0, 2}));
  ASSERT_EQ(got.size(), 5u);
  for (std::size_t i = 0; i < got.size(); ++i) {
    const double t = static_cast<double>(i + 3);
    const auto f = [](double x) { return x * x * x; };
    EXPECT_EQ(got[i], (f(t) - f(t - 2)) - (f(t - 1) - f(t - 3)));
  }
}

TEST(PrepareEndog, SimpleDifferencingOfSeriesAndColumns) {
  const Vec y{1, 3, 6, 10, 15};
  const Columns cols{{1, 2, 4, 8, 16}};
  auto off = prepare_endog(y, config({0, 1, 0, 0, 0, 0, 0}), &cols);
  ASSERT_TRUE(off.has_value());
  EXPECT_EQ(off->series, y);
  EXPECT_FALSE(off->columns.has_value());

  auto on = prepare_endog(y, config({0, 1, 0, 0, 0, 0, 0}, true), &cols);
  ASSERT_TRUE(on.has_value());
  EXPECT_EQ(on->series, (Vec{2, 3, 4, 5}));
  ASSERT_TRUE(on->columns.has_value());
  EXPECT_EQ((*on->columns)[0], (Vec{1, 2, 4, 8}));

  auto no_cols = prepare_endog(y, config({0, 1, 0, 0, 0, 0, 0}, true), nullptr);
  ASSERT_TRUE(no_cols.has_value());
  EXPECT_FALSE(no_cols->columns.has_value());
  const Columns empty;
  auto empty_cols = prepare_endog(y, config({0, 1, 0, 0, 0, 0, 0}, true), &empty);
  ASSERT_TRUE(empty_cols.has_value());
  ASSERT_TRUE(empty_cols->columns.has_value());
  EXPECT_TRUE(empty_cols->columns->empty());

  const Columns bad{{1, 2, 3, 4, 5}, {1, 2, 3, 4, 5, 6}, {1}};
  auto e = prepare_endog(y, config({0, 1, 0, 0, 0, 0, 0}, true), &bad);
  ASSERT_FALSE(e.has_value());
  EXPECT_EQ(e.error().display(),
            "invalid input: exog column 1 has 5 rows after simple_differencing, but y has 4 "
            "observations");
}

TEST(KalmanEval, SimpleDifferencingWithoutDifferencesChangesNothing) {
  const Vec y = ramp(60);
  SarimaxParams p;
  p.ar = {0.4};
  p.sigma2 = 2.0;
  auto a = kalman_eval(y, p, config({1, 0, 0, 0, 0, 0, 0}), nullptr);
  auto b = kalman_eval(y, p, config({1, 0, 0, 0, 0, 0, 0}, true), nullptr);
  ASSERT_TRUE(a.has_value());
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(a->loglike, b->loglike);
}

TEST(KalmanEval, SimpleDifferencingFiltersTheDifferencedSeries) {
  const Vec y = ramp(80);
  SarimaxParams p;
  p.ar = {0.4};
  p.sigma2 = 1.5;
  auto sd = kalman_eval(y, p, config({1, 1, 0, 0, 0, 0, 0}, true), nullptr);
  auto direct = kalman_eval(apply_differencing(y, config({1, 1, 0, 0, 0, 0, 0})), p,
                            config({1, 0, 0, 0, 0, 0, 0}), nullptr);
  ASSERT_TRUE(sd.has_value());
  EXPECT_EQ(sd->n_eff, 79u);
  EXPECT_EQ(sd->loglike, direct->loglike);
}

TEST(KalmanEval, FailuresInStepOrder) {
  const Vec y = ramp(40);
  SarimaxParams p;
  p.sigma2 = 1.0;
  auto d2 = kalman_eval(y, p, config({0, 0, 0, 0, 2, 0, 4}, true), nullptr);
  ASSERT_FALSE(d2.has_value());
  EXPECT_EQ(d2.error().display(),
            "state space construction failed: Seasonal differencing D > 1 is not yet supported");
  // A bad column under simple differencing is reported before D = 2.
  const Columns bad{Vec(41, 1.0)};
  SarimaxParams px = p;
  px.exog = {1.0};
  auto col = kalman_eval(y, px, config({0, 0, 0, 0, 2, 0, 4}, true), &bad);
  ASSERT_FALSE(col.has_value());
  EXPECT_EQ(col.error().kind(), SarimaxError::Kind::InvalidInput);
  // Without simple differencing the state-space builder reports it.
  auto col2 = kalman_eval(y, px, config({0, 0, 0, 0, 0, 0, 0}), &bad);
  ASSERT_FALSE(col2.has_value());
  EXPECT_EQ(col2.error().display(), "data error: exog column 0 has 41 rows but y has 40 observations");
}

TEST(KalmanEval, ModelAndDataErrorsComeBeforeTheVariance) {
  SarimaxParams p;
  p.sigma2 = -1.0;
  struct Case {
    SarimaxOrder order;
    bool simple_diff;
    std::size_t n;
    const char* text;
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 2, 0, 4}, false, 40,
       "state space construction failed: Seasonal differencing D > 1 is not yet supported"},
      // A series too short for its own differencing is refused, not filtered in levels.
      {{0, 0, 0, 0, 1, 0, 12}, true, 12, "data error: Not enough observations: n=12 <= burn=12"},
      {{0, 2, 0, 0, 0, 0, 0}, true, 2, "data error: Not enough observations: n=2 <= burn=2"},
  };
  for (const Case& c : cases) {
    auto r = kalman_eval(ramp(c.n), p, config(c.order, c.simple_diff), nullptr);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error().display(), c.text);
  }
  const Columns bad{Vec(41, 1.0)};
  p.exog = {1.0};
  EXPECT_EQ(kalman_eval(ramp(40), p, config({0, 0, 0, 0, 0, 0, 0}), &bad).error().display(),
            "data error: exog column 0 has 41 rows but y has 40 observations");
  p.exog.clear();
  p.sigma2 = 1.0;
  EXPECT_TRUE(kalman_eval(ramp(13), p, config({0, 0, 0, 0, 1, 0, 12}, true), nullptr).has_value())
      << "one value left after differencing is enough for a stationary model";
}

TEST(KalmanEval, CallerGivenVarianceMustBePositive) {
  const Vec y = ramp(30);
  SarimaxParams p;
  p.ar = {0.5};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> bad[] = {
      {-1.0, "positive, got -1"},          {0.0, "positive, got 0"},
      {-0.0, "positive, got -0"},          {nan, "positive and finite, got NaN"},
      {inf, "positive and finite, got inf"}, {-inf, "positive and finite, got -inf"},
      {-2.5, "positive, got -2.5"}};
  for (const auto& [value, reason] : bad) {
    p.sigma2 = value;
    auto r = kalman_eval(y, p, config({1, 0, 0, 0, 0, 0, 0}), nullptr);
    ASSERT_FALSE(r.has_value()) << reason;
    EXPECT_EQ(r.error().display(), std::string("data error: variance sigma2 must be ") + reason);
  }
  p.sigma2 = 1e-300;
  EXPECT_TRUE(kalman_eval(y, p, config({1, 0, 0, 0, 0, 0, 0}), nullptr).has_value());
  // With the scale concentrated there is no variance to check.
  auto c = config({1, 0, 0, 0, 0, 0, 0});
  c.concentrate_scale = true;
  p.sigma2.reset();
  EXPECT_TRUE(kalman_eval(y, p, c, nullptr).has_value());
}

TEST(KalmanEval, StationaryStartAtTheMeanOfALevelledSeries) {
  // A series sitting at a level of 500: with the block started at its mean
  // the constant model fits it like any other; from zero the first
  // observation alone would cost a huge penalty.
  Vec y = ramp(100, 0.2);
  for (double& v : y) v += 500.0;
  SarimaxConfig c = config({1, 0, 0, 0, 0, 0, 0});
  c.trend = Trend::Constant;
  SarimaxParams p;
  p.trend = {500.0 * (1 - 0.9)};
  p.ar = {0.9};
  p.sigma2 = 1.0;
  auto r = kalman_eval(y, p, c, nullptr);
  ASSERT_TRUE(r.has_value());
  EXPECT_NEAR(r->innovations[0], y[0] - 500.0, 1e-9);
  EXPECT_GT(r->loglike, -1000.0);
}
