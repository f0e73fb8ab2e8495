#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "peltaro/core/css.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/objective.hpp"
#include "score_fixtures.hpp"

using namespace peltaro;
using core::Columns;
using core::SarimaxConfig;
using core::Trend;
using core::Vec;
using estimation::PENALTY;
using estimation::SarimaxObjective;
namespace fx = peltaro::score_fixtures;
using fx::cfg;

namespace {

Vec percent_log_air() {
  Vec y = fx::log_of(fx::load_csv_column("airpassengers.csv", 1));
  for (double& v : y) v *= 100.0;
  return y;
}

Columns regressors(std::size_t n, unsigned seed) {
  Columns c{fx::simulate_normal(n, seed), Vec(n)};
  for (std::size_t t = 0; t < n; ++t) c[1][t] = std::sin(0.3 * static_cast<double>(t));
  return c;
}

struct Case {
  std::string name;
  SarimaxConfig config;
  Vec y;
  std::optional<Columns> exog;
  Vec center;  // model coordinates the random points scatter around
};

// Configurations over the switches the objective depends on. The series are
// already prepared (differenced where the configuration asks for it), as the
// fit driver hands them over.
std::vector<Case> cases() {
  const Vec air = percent_log_air();
  const Vec arma = fx::simulate_arma(300, {0.6}, {0.3}, 21, 4.0);
  Vec ar2t = fx::simulate_arma(250, {0.5, -0.3}, {}, 22);
  const Columns x250 = regressors(250, 23);
  for (std::size_t t = 0; t < ar2t.size(); ++t) ar2t[t] += 0.02 * static_cast<double>(t) + 1.5 * x250[0][t];
  const Vec ma2 = fx::simulate_arma(200, {}, {0.4, 0.2}, 24, 1.0);
  const Vec sar = fx::simulate_arma(240, {0.4, 0, 0, 0.5, -0.2}, {0.2}, 25);
  const Columns x240 = regressors(240, 26);
  Vec nile = fx::load_csv_column("nile.csv", 1);
  for (double& v : nile) v /= 100.0;
  SarimaxConfig air_sd = cfg({0, 1, 1, 0, 1, 1, 12}, Trend::None, 0, false, true, true);
  auto prepared = core::prepare_endog(fx::log_of(fx::load_csv_column("airpassengers.csv", 1)), air_sd, nullptr);
  SarimaxConfig ma_free = cfg({0, 0, 2, 0, 0, 0, 0}, Trend::Constant);
  ma_free.enforce_invertibility = false;

  return {
      {"airline", cfg({0, 1, 1, 0, 1, 1, 12}), air, {}, {-0.4, -0.6, 14.0}},
      {"airline_concentrated", cfg({0, 1, 1, 0, 1, 1, 12}, Trend::None, 0, true), air, {}, {-0.4, -0.6}},
      {"air_212_111", cfg({2, 1, 2, 1, 1, 1, 12}), air, {}, {0.3, -0.2, -0.5, 0.1, 0.2, -0.5, 13.0}},
      {"arma11_constant", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant), arma, {}, {1.6, 0.6, 0.3, 1.0}},
      {"ar2_linear_exog", cfg({2, 0, 0, 0, 0, 0, 0}, Trend::Linear, 2), ar2t, x250, {0.02, 1.5, 0.0, 0.5, -0.3, 1.0}},
      {"arma11_ct_free_ar", cfg({1, 1, 1, 0, 0, 0, 0}, Trend::ConstantLinear, 0, false, false), arma, {}, {0.1, 0.001, 0.3, 0.2, 1.0}},
      {"ma2_free", ma_free, ma2, {}, {1.0, 0.4, 0.2, 1.0}},
      {"airline_simple_diff", air_sd, prepared->series, {}, {-0.4, -0.6, 0.0014}},
      {"sarma_exog_concentrated", cfg({1, 0, 1, 1, 0, 0, 4}, Trend::Constant, 2, true), sar, x240, {0.1, 0.3, -0.2, 0.4, 0.2, 0.5}},
      {"nile_local_level", cfg({0, 1, 1, 0, 0, 0, 0}), nile, {}, {-0.7, 2.0}},
      {"seasonal_ar_free", cfg({1, 0, 0, 1, 0, 0, 4}, Trend::Constant, 0, false, false), sar, {}, {0.0, 0.4, 0.5, 1.0}},
  };
}

SarimaxObjective objective_of(const Case& c) {
  return SarimaxObjective(c.y, c.exog, c.config);
}

// Points in unconstrained coordinates scattered around the case's centre.
std::vector<Vec> points(const Case& c, unsigned seed, std::size_t count) {
  auto center = core::transform_params_inner(c.center, c.config, false);
  EXPECT_TRUE(center.has_value()) << c.name;
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> N(0.0, 0.25);
  std::vector<Vec> out;
  for (std::size_t k = 0; k < count; ++k) {
    Vec x = *center;
    for (double& v : x) v += N(rng);
    out.push_back(x);
  }
  return out;
}

TEST(SarimaxObjective, GradientMatchesCentralDifferencesOfTheCost) {
  std::size_t checked = 0;
  unsigned seed = 100;
  for (const Case& c : cases()) {
    for (const Vec& x : points(c, ++seed, 5)) {
      const SarimaxObjective obj = objective_of(c);
      const Vec g = obj.gradient(x);
      const SarimaxObjective fd_obj = objective_of(c);
      const Vec fd = fx::richardson_gradient([&](const Vec& p) { return fd_obj.cost(p); }, x);
      // Relative per entry; an entry near zero is measured against a
      // thousandth of the largest one.
      double largest = 0.0;
      for (double v : fd) largest = std::fmax(largest, std::fabs(v));
      for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_NEAR(g[i], fd[i], 1e-5 * std::fmax(std::fabs(fd[i]), 1e-3 * largest))
            << c.name << " coordinate " << i;
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 50u);
}

// A warm objective (model refreshed in place, a cached value and gradient
// elsewhere) answers exactly as a cold one.
TEST(SarimaxObjective, CachesNeverChangeAValue) {
  unsigned seed = 300;
  for (const Case& c : cases()) {
    const std::vector<Vec> xs = points(c, ++seed, 4);
    const SarimaxObjective warm = objective_of(c);
    for (const Vec& x : xs) {
      const SarimaxObjective cold = objective_of(c);
      const double cost_cold = cold.cost(x);
      const Vec grad_cold = objective_of(c).gradient(x);
      auto ll_cold = objective_of(c).eval_loglike(x);
      EXPECT_EQ(warm.cost(x), cost_cold) << c.name;
      EXPECT_EQ(warm.gradient(x), grad_cold) << c.name;
      EXPECT_EQ(warm.cost(x), cost_cold) << c.name << " (value from the cache)";
      auto ll_warm = warm.eval_loglike(x);
      ASSERT_EQ(ll_warm.has_value(), ll_cold.has_value());
      if (ll_cold) {
        EXPECT_EQ(*ll_warm, *ll_cold) << c.name;
      }
    }
  }
}

TEST(SarimaxObjective, RefreshedModelEqualsAFreshlyBuiltOne) {
  // An MA order above the AR order leaves the tail of the ARMA column zero;
  // refreshing must not leave a stale coefficient there.
  std::vector<Case> all = cases();
  all.push_back({"arma13", cfg({1, 0, 3, 1, 0, 0, 2}), fx::simulate_arma(80, {0.5}, {0.2}, 31), {}, {0.5, 0.1, 0.1, 0.1, 0.3, 1.0}});
  unsigned seed = 500;
  for (const Case& c : all) {
    const SarimaxObjective obj = objective_of(c);
    for (const Vec& x : points(c, ++seed, 3)) {
      auto ev = obj.eval_pipeline(x);
      ASSERT_TRUE(ev.has_value()) << ev.error();
      auto fresh = core::StateSpace::create(c.config, ev->params, c.y, c.exog ? &*c.exog : nullptr);
      ASSERT_TRUE(fresh.has_value());
      const core::StateSpace& m = ev->model.model();
      EXPECT_EQ(m.transition, fresh->transition) << c.name;
      EXPECT_EQ(m.selection, fresh->selection) << c.name;
      EXPECT_EQ(m.design, fresh->design) << c.name;
      EXPECT_EQ(m.state_cov, fresh->state_cov) << c.name;
      EXPECT_EQ(m.obs_intercept, fresh->obs_intercept) << c.name;
      EXPECT_EQ(m.state_intercept, fresh->state_intercept) << c.name;
      // The filter's forms, refreshed with the model, as if made afresh.
      const core::FilterSystem& sys = ev->model.system();
      const core::FilterSystem made(*fresh);
      EXPECT_EQ(sys.tt, made.tt) << c.name;
      EXPECT_EQ(sys.strategy, made.strategy) << c.name;
      EXPECT_EQ(sys.covariance.rqr(), made.covariance.rqr()) << c.name;
      ASSERT_EQ(sys.sparse_t.entries.size(), made.sparse_t.entries.size()) << c.name;
      for (std::size_t k = 0; k < made.sparse_t.entries.size(); ++k) {
        const auto& a = sys.sparse_t.entries[k];
        const auto& b = made.sparse_t.entries[k];
        EXPECT_TRUE(a.row == b.row && a.col == b.col && a.value == b.value) << c.name << " entry " << k;
      }
      ASSERT_EQ(sys.sparse_z.entries.size(), made.sparse_z.entries.size()) << c.name;
      if (c.config.concentrate_scale) {
        EXPECT_EQ(m.state_cov(0, 0), 1.0);
      }
    }
    EXPECT_TRUE(obj.has_cached_model()) << "the model goes back after each evaluation";
  }
}

TEST(SarimaxObjective, CacheKeyComparesCoordinatesAsDoubles) {
  const Case c = cases()[3];
  const SarimaxObjective obj = objective_of(c);
  Vec x = *core::transform_params_inner(c.center, c.config, false);
  x[0] = 0.0;
  const Vec g = obj.gradient(x);
  ASSERT_TRUE(obj.cached_eval().has_value());
  const double cached = obj.cached_eval()->value;

  Vec negative_zero = x;
  negative_zero[0] = -0.0;
  EXPECT_EQ(obj.gradient(negative_zero), g);
  EXPECT_FALSE(std::signbit(obj.cached_eval()->params[0])) << "-0.0 hit the entry keyed by 0.0";
  EXPECT_EQ(obj.cost(negative_zero), cached);

  Vec with_nan = x;
  with_nan[1] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(obj.cost(with_nan), PENALTY) << "a NaN coordinate never matches the key";
}

TEST(SarimaxObjective, UnbuildableModelCostsThePenalty) {
  const SarimaxConfig c = cfg({0, 0, 0, 0, 2, 0, 4});
  const SarimaxObjective obj(fx::simulate_normal(40, 1), std::nullopt, c);
  const Vec x{0.5};
  EXPECT_EQ(obj.cost(x), PENALTY);
  EXPECT_EQ(obj.eval_loglike(x).error(),
            "state space construction failed: Seasonal differencing D > 1 is not yet supported");
  EXPECT_EQ(obj.gradient(x), Vec{0.0});
  EXPECT_FALSE(obj.has_cached_model());
}

TEST(SarimaxObjective, ShortSeriesAndWrongLengthReportTheServiceTexts) {
  const SarimaxObjective obj(Vec{1.0, 2.0}, std::nullopt, cfg({0, 1, 1, 0, 1, 1, 4}));
  EXPECT_EQ(obj.eval_loglike(Vec{0.1, 0.1, 0.0}).error(), "data error: Not enough observations: n=2 <= burn=5");
  EXPECT_EQ(obj.eval_loglike(Vec{0.1}).error(), "parameter length mismatch: expected 3, got 1");
  EXPECT_EQ(obj.analytical_gradient_negloglike(Vec{0.1}).error(),
            "parameter length mismatch: expected 3, got 1");
}

TEST(SarimaxObjective, EmptyParameterVectorHasAnEmptyGradient) {
  const SarimaxObjective obj(fx::simulate_normal(30, 2), std::nullopt,
                             cfg({0, 0, 0, 0, 0, 0, 0}, Trend::None, 0, true));
  EXPECT_TRUE(obj.gradient(Vec{}).empty());
  EXPECT_TRUE(std::isfinite(obj.cost(Vec{})));
}

// A model lease returns its model to the objective that lent it, so a
// temporary objective must not lend one.
template <class O>
concept LendsFromTemporary = requires(std::span<const double> x) { std::declval<O>().eval_pipeline(x); };
static_assert(!LendsFromTemporary<SarimaxObjective>);
static_assert(LendsFromTemporary<const SarimaxObjective&>);

TEST(SarimaxObjective, CloneStartsWithEmptyCaches) {
  const Case c = cases()[0];
  const SarimaxObjective obj = objective_of(c);
  const Vec x = points(c, 7, 1)[0];
  (void)obj.gradient(x);
  const SarimaxObjective copy = obj.clone();
  EXPECT_FALSE(copy.cached_eval().has_value());
  EXPECT_FALSE(copy.has_cached_model());
  EXPECT_EQ(copy.cost(x), obj.cost(x));
}

TEST(CssObjective, CostIsTheNegatedConditionalLikelihoodOrThePenalty) {
  const SarimaxConfig c = cfg({1, 1, 1, 0, 0, 0, 0});
  const Vec y = fx::simulate_arma(120, {0.5}, {0.3}, 41, 3.0);
  const estimation::CssObjective obj(y, std::nullopt, c);
  const Vec x{0.3, -0.2, 0.0};
  auto params = core::SarimaxParams::from_flat(*core::transform_params_inner(x, c, true), c);
  EXPECT_EQ(obj.cost(x), -core::css_loglike_with_exog(y, c, *params, nullptr));
  EXPECT_EQ(obj.cost(Vec{0.3}), PENALTY);
  const estimation::CssObjective too_short(Vec{1.0, 2.0}, std::nullopt, c);
  EXPECT_EQ(too_short.cost(x), PENALTY);
}

}  // namespace
