// The batched filter against the single-series filter run on each series
// alone, plus its own failures and edge cases.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/batched_filter.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"

namespace peltaro::core {
namespace {

struct Model {
  StateSpace ss;
  KalmanInit init;
};

Model build(const SarimaxConfig& config, const Vec& flat, std::size_t n,
            const Columns* exog = nullptr) {
  auto params = SarimaxParams::from_flat(flat, config);
  if (!params) throw std::runtime_error(params.error().display());
  const Vec y(n, 0.0);
  auto ss = StateSpace::create(config, *params, y, exog);
  if (!ss) throw std::runtime_error(ss.error().display());
  KalmanInit init = KalmanInit::from_config_default(*ss, config);
  return {std::move(*ss), std::move(init)};
}

SarimaxConfig config_of(SarimaxOrder order, bool stationary = true) {
  SarimaxConfig c;
  c.order = order;
  c.enforce_stationarity = stationary;
  return c;
}

Vec random_series(std::size_t n, std::uint64_t seed, double level = 0.0) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> dist(0.0, 1.0);
  Vec y(n);
  double walk = level;
  for (double& v : y) {
    walk += 0.3 * dist(gen);
    v = walk + dist(gen);
  }
  return y;
}

std::vector<std::span<const double>> spans_of(const std::vector<Vec>& series) {
  return {series.begin(), series.end()};
}

void expect_close(const Vec& got, const Vec& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t t = 0; t < want.size(); ++t) {
    const double tol = 1e-14 * std::fmax(1.0, std::fabs(want[t]));
    ASSERT_NEAR(got[t], want[t], tol) << what << " at t=" << t;
  }
}

// Runs the batch and, for every series alone, the single-series filter with
// stored outputs; innovations and F must agree.
BatchedKalmanOutput expect_matches_single(const Model& model, const std::vector<Vec>& series) {
  const auto spans = spans_of(series);
  auto batch = kalman_filter_batched(spans, model.ss, model.init);
  if (!batch) throw std::runtime_error(batch.error().display());
  EXPECT_EQ(batch->innovations.size(), series.size());
  for (std::size_t i = 0; i < series.size(); ++i) {
    auto single = kalman_core(series[i], model.ss, model.init, false, true);
    if (!single) throw std::runtime_error(single.error().display());
    expect_close(batch->innovations[i], single->innovations, "innovations of series " + std::to_string(i));
    expect_close(batch->f_values, single->f_values, "F against series " + std::to_string(i));
    EXPECT_EQ(batch->n_eff, single->n_eff);
    EXPECT_EQ(batch->steady_from, single->steady_from);
  }
  return *batch;
}

std::vector<Vec> three_series(std::size_t n, std::uint64_t seed) {
  return {random_series(n, seed), random_series(n, seed + 1, 5.0), random_series(n, seed + 2, -3.0)};
}

// Steady mode emits the frozen F at every step, so a long bit-identical tail
// of F shows the run ended in it.
bool ends_in_steady_mode(const Vec& f, std::size_t tail) {
  for (std::size_t t = f.size() - tail; t < f.size(); ++t)
    if (f[t] != f.back()) return false;
  return true;
}

TEST(BatchedFilter, StationaryArmaMatchesSingleSeriesFilter) {
  const Model model = build(config_of({.p = 1, .q = 1}), {0.6, 0.3, 1.5}, 200);
  ASSERT_EQ(model.init.burn, 0u);
  const auto out = expect_matches_single(model, three_series(200, 11));
  EXPECT_TRUE(ends_in_steady_mode(out.f_values, 50));
}

// With θ close to one the covariance settles slowly, so F still moves by a
// few 1e-10 (relative) when the switch is made: a switch one step earlier or
// later than the single-series filter would show far above 1e-14.
TEST(BatchedFilter, SlowlyConvergingMaSwitchesAtTheSameStep) {
  const std::size_t n = 400;
  const Model model = build(config_of({.q = 1}), {0.9, 1.0}, n);
  const auto out = expect_matches_single(model, three_series(n, 21));
  std::size_t first_frozen = n - 1;
  while (first_frozen > 0 && out.f_values[first_frozen - 1] == out.f_values.back()) --first_frozen;
  ASSERT_GT(first_frozen, 20u);
  ASSERT_LT(first_frozen, n - 50);
  const double jump = std::fabs(out.f_values[first_frozen - 1] - out.f_values[first_frozen]);
  EXPECT_GT(jump / out.f_values.back(), 1e-13);
}

// MA(1) with θ = 0.2 from its stationary covariance: the predicted covariance
// changes (relative to its trace) by 3.6e-9 at t = 5, then 1.5e-10, 5.8e-12,
// 2.3e-13, 9.2e-15 and 4.3e-16, and not at all from t = 11. A check passes when
// its change is at most 1e-14 (from t = 9), or when the change of the check
// before was below 1e-9 and the drift it implies is too (t = 7, 8). Checks
// start at b + 5 with no change before them, and three passes in a row
// switch, so the first frozen step is 10 for b = 0 and 1, then 11 and 12: a
// check before b + 5 would show for b = 2 and 3. (Burn is set by hand so that
// the covariance path stays the same.)
TEST(BatchedFilter, FastConvergenceFreezesAfterThreePassingChecks) {
  const double theta = 0.2;
  const std::size_t n = 24;
  struct Case {
    std::size_t burn, first_frozen;
  };
  for (const Case c : {Case{0, 10}, Case{1, 10}, Case{2, 11}, Case{3, 12}}) {
    const std::size_t burn = c.burn;
    Model model = build(config_of({.q = 1}), {theta, 1.0}, n);
    model.init.burn = burn;
    const std::vector<Vec> series{random_series(n, 27)};
    const auto out = expect_matches_single(model, series);

    // The unfrozen recursion, by hand.
    const Eigen::MatrixXd& T = model.ss.transition;
    const Eigen::VectorXd& Z = model.ss.design;
    const Eigen::MatrixXd RQR = model.ss.selection * model.ss.selection.transpose();
    Eigen::MatrixXd P = model.init.p0;
    Vec riccati;
    for (std::size_t t = 0; t < n; ++t) {
      const Eigen::VectorXd pz = P * Z;
      const double F = Z.dot(pz);
      riccati.push_back(F);
      P = T * (P - pz * pz.transpose() / F) * T.transpose() + RQR;
    }
    const std::size_t first = c.first_frozen;
    EXPECT_EQ(out.steady_from, std::optional<std::size_t>(first)) << "burn " << burn;
    for (std::size_t t = 0; t <= first; ++t) EXPECT_NEAR(out.f_values[t], riccati[t], 1e-15) << t;
    if (riccati[first] != riccati[first - 1]) {
      EXPECT_NE(out.f_values[first], out.f_values[first - 1]) << "frozen before step " << first;
    }
    for (std::size_t t = first + 1; t < n; ++t) EXPECT_EQ(out.f_values[t], out.f_values[first]) << t;
    if (burn == 0) {
      EXPECT_NE(riccati[first + 1], riccati[first]) << "F would have kept moving";
    }
  }
}

TEST(BatchedFilter, SeasonalSparseModelMatchesSingleSeriesFilter) {
  const Model model =
      build(config_of({.p = 1, .q = 1, .P = 1, .Q = 1, .s = 4}), {0.5, 0.2, 0.3, -0.4, 0.8}, 300);
  const auto out = expect_matches_single(model, three_series(300, 31));
  EXPECT_TRUE(ends_in_steady_mode(out.f_values, 50));
}

TEST(BatchedFilter, DifferencedModelsMatchSingleSeriesFilter) {
  {
    const Model model = build(config_of({.p = 1, .d = 1, .q = 1}), {0.4, -0.3, 2.0}, 150);
    ASSERT_EQ(model.init.burn, 1u);
    const auto out = expect_matches_single(model, three_series(150, 41));
    EXPECT_TRUE(ends_in_steady_mode(out.f_values, 50));
  }
  {
    // AR coefficient 0 leaves 3 entries in T, which runs the sparse products.
    const Model model = build(config_of({.p = 1, .d = 1, .q = 1}), {0.0, 0.5, 1.0}, 80);
    expect_matches_single(model, three_series(80, 43));
  }
  {
    // Airline model: 13 diffuse differencing states, seasonal and regular MA.
    const Model model =
        build(config_of({.d = 1, .q = 1, .D = 1, .Q = 1, .s = 12}), {-0.4, -0.6, 1.0}, 360);
    ASSERT_EQ(model.init.burn, 13u);
    const auto out = expect_matches_single(model, three_series(360, 47));
    EXPECT_TRUE(ends_in_steady_mode(out.f_values, 50));
  }
}

TEST(BatchedFilter, DiffuseStartMatchesSingleSeriesFilter) {
  const Model model = build(config_of({.p = 2, .q = 2}, false), {0.5, -0.2, 0.4, 0.2, 1.0}, 120);
  ASSERT_EQ(model.init.burn, 3u);
  const auto out = expect_matches_single(model, three_series(120, 51));
  EXPECT_EQ(out.n_eff, 117u);
  EXPECT_TRUE(ends_in_steady_mode(out.f_values, 30));
}

TEST(BatchedFilter, TrendAndRegressionInterceptsMatchSingleSeriesFilter) {
  SarimaxConfig config = config_of({.p = 1});
  config.trend = Trend::Constant;
  config.n_exog = 1;
  const std::size_t n = 100;
  const Columns exog{random_series(n, 61)};
  const Model model = build(config, {0.7, 1.3, 0.5, 0.8}, n, &exog);
  // The stationary block starts at its mean c/(1 − φ), not at zero.
  ASSERT_NEAR(model.init.a0[0], 1.4, 1e-12);
  expect_matches_single(model, three_series(n, 63));
}

TEST(BatchedFilter, FailuresAreReportedInOrder) {
  const Model model = build(config_of({.p = 2, .q = 2}, false), {0.5, -0.2, 0.4, 0.2, 1.0}, 10);
  auto run = [&](const std::vector<Vec>& series) {
    const auto spans = spans_of(series);
    auto r = kalman_filter_batched(spans, model.ss, model.init);
    return r ? std::string("ok") : r.error().display();
  };
  EXPECT_EQ(run({}), "data error: kalman_filter_batched: observations must contain at least one series");
  EXPECT_EQ(run({Vec(10, 1.0), Vec(10, 2.0), Vec(9, 3.0), Vec(8, 4.0)}),
            "data error: kalman_filter_batched: series 2 has length 9 but series 0 has length 10");
  EXPECT_EQ(run({Vec(3, 1.0), Vec(3, 2.0)}), "data error: Not enough observations: n=3 <= burn=3");
  // The length check comes before the burn check.
  EXPECT_EQ(run({Vec(2, 1.0), Vec(3, 2.0)}),
            "data error: kalman_filter_batched: series 1 has length 3 but series 0 has length 2");
  const auto err = [&] {
    const std::vector<Vec> series;
    return kalman_filter_batched(spans_of(series), model.ss, model.init).error();
  }();
  EXPECT_EQ(err.kind(), SarimaxError::Kind::DataError);
}

TEST(BatchedFilter, OneStepBeyondBurnKeepsEveryStep) {
  const Model model = build(config_of({.p = 2, .q = 2}, false), {0.5, -0.2, 0.4, 0.2, 1.0}, 4);
  const std::vector<Vec> series{{1.0, 2.0, 0.5, -1.0}, {0.0, 0.1, 0.2, 0.3}};
  const auto out = expect_matches_single(model, series);
  EXPECT_EQ(out.n_eff, 1u);
  EXPECT_EQ(out.f_values.size(), 4u);
  EXPECT_EQ(out.innovations[0].size(), 4u);
  EXPECT_EQ(out.innovations[1].size(), 4u);
}

TEST(BatchedFilter, SeriesShareVarianceAndKeepTheirOwnInnovations) {
  const std::size_t n = 60;
  const Model model =
      build(config_of({.p = 1, .q = 1, .P = 1, .s = 4}), {0.5, 0.2, 0.3, 1.0}, n);
  const Vec a = random_series(n, 71);
  const Vec b = random_series(n, 72);
  Vec with_nan = random_series(n, 73);
  with_nan[20] = std::nan("");

  const std::vector<Vec> first{a, a, b};
  const std::vector<Vec> second{a, with_nan, b};
  auto r1 = kalman_filter_batched(spans_of(first), model.ss, model.init);
  auto r2 = kalman_filter_batched(spans_of(second), model.ss, model.init);
  ASSERT_TRUE(r1.has_value());
  ASSERT_TRUE(r2.has_value());  // non-finite data is not screened

  // Identical series give identical innovations.
  EXPECT_EQ(r1->innovations[0], r1->innovations[1]);
  // F depends on the system alone, and changing (even poisoning) one series
  // leaves every other series untouched.
  EXPECT_EQ(r1->f_values, r2->f_values);
  for (double f : r2->f_values) EXPECT_TRUE(std::isfinite(f));
  EXPECT_EQ(r1->innovations[0], r2->innovations[0]);
  EXPECT_EQ(r1->innovations[2], r2->innovations[2]);
  EXPECT_TRUE(std::isnan(r2->innovations[1][20]));
  EXPECT_TRUE(std::isnan(r2->innovations[1][n - 1]));
  for (std::size_t t = 0; t < 20; ++t) EXPECT_TRUE(std::isfinite(r2->innovations[1][t])) << t;

  // One series alone: one array of n innovations and n variances.
  const std::vector<Vec> single{b};
  auto r3 = kalman_filter_batched(spans_of(single), model.ss, model.init);
  ASSERT_TRUE(r3.has_value());
  ASSERT_EQ(r3->innovations.size(), 1u);
  EXPECT_EQ(r3->innovations[0], r1->innovations[2]);
  EXPECT_EQ(r3->f_values, r1->f_values);
}

// AR(1) from its stationary distribution: F_0 = σ²/(1 − φ²), then σ².
TEST(BatchedFilter, Ar1VarianceFollowsClosedForm) {
  const double phi = 0.7;
  const double sigma2 = 2.5;
  const std::size_t n = 30;
  const Model model = build(config_of({.p = 1}), {phi, sigma2}, n);
  const std::vector<Vec> series{random_series(n, 81)};
  const auto out = expect_matches_single(model, series);
  EXPECT_NEAR(out.f_values[0], sigma2 / (1.0 - phi * phi), 1e-12);
  for (std::size_t t = 1; t < n; ++t) EXPECT_NEAR(out.f_values[t], sigma2, 1e-12) << t;
  // Innovations of an AR(1) with no noise in the observation: v_0 = y_0,
  // v_t = y_t − φ·y_(t−1).
  EXPECT_NEAR(out.innovations[0][0], series[0][0], 1e-12);
  for (std::size_t t = 1; t < n; ++t)
    EXPECT_NEAR(out.innovations[0][t], series[0][t] - phi * series[0][t - 1], 1e-12) << t;
}

// A system whose F is never positive: every step is a prediction without
// update, F is reported as computed, and the state mean only decays, so
// v_t = y_t − a0·φ^t.
TEST(BatchedFilter, NonPositiveVarianceStepsOnlyPredict) {
  for (const double q : {0.0, -1.0}) {
    StateSpace ss;
    ss.k_states = 1;
    ss.transition = Eigen::MatrixXd::Constant(1, 1, 0.5);
    ss.design = Eigen::VectorXd::Ones(1);
    ss.selection = Eigen::MatrixXd::Ones(1, 1);
    ss.state_cov = Eigen::MatrixXd::Constant(1, 1, q);
    KalmanInit init;
    init.a0 = Eigen::VectorXd::Constant(1, 2.0);
    init.p0 = Eigen::MatrixXd::Constant(1, 1, q);
    const std::vector<Vec> series{{1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0}};
    const Model model{ss, init};
    const auto out = expect_matches_single(model, series);
    double a = 2.0;
    for (std::size_t t = 0; t < series[0].size(); ++t, a *= 0.5) {
      // P_t = q·(1 + 1/4 + … + 1/4^t)
      const double p_t = q * (1.0 - std::pow(0.25, static_cast<double>(t + 1))) / 0.75;
      EXPECT_DOUBLE_EQ(out.f_values[t], p_t) << t;
      EXPECT_DOUBLE_EQ(out.innovations[0][t], 1.0 - a) << t;
    }
  }
}

TEST(BatchedFilter, ShortInterceptsAreTreatedAsAbsent) {
  SarimaxConfig config = config_of({.p = 1});
  config.trend = Trend::Constant;
  Model model = build(config, {0.7, 0.5, 1.0}, 60);
  // A system built for another length contributes no trend.
  const std::vector<Vec> series{random_series(40, 91)};
  auto with_trend = kalman_filter_batched(spans_of(series), model.ss, model.init);
  Model no_trend = model;
  no_trend.ss.state_intercept.clear();
  auto without = kalman_filter_batched(spans_of(series), no_trend.ss, no_trend.init);
  ASSERT_TRUE(with_trend && without);
  EXPECT_EQ(with_trend->innovations, without->innovations);

  // Observation intercept shorter than the series: zero beyond its end.
  Model padded = no_trend;
  padded.ss.obs_intercept = Vec(40, 0.0);
  for (std::size_t t = 0; t < 10; ++t) padded.ss.obs_intercept[t] = 0.1 * static_cast<double>(t + 1);
  Model short_obs = padded;
  short_obs.ss.obs_intercept.resize(10);
  auto r_pad = kalman_filter_batched(spans_of(series), padded.ss, padded.init);
  auto r_short = kalman_filter_batched(spans_of(series), short_obs.ss, short_obs.init);
  ASSERT_TRUE(r_pad && r_short);
  EXPECT_EQ(r_pad->innovations, r_short->innovations);
  EXPECT_NE(r_pad->innovations, without->innovations);
}

TEST(BatchedFilter, MismatchedSystemSizesAreRefused) {
  const Model model = build(config_of({.p = 2, .q = 2}), {0.5, -0.2, 0.4, 0.2, 1.0}, 20);
  const std::vector<Vec> series{random_series(20, 101)};
  const auto spans = spans_of(series);
  const Model other = build(config_of({.p = 1}), {0.5, 1.0}, 20);
  EXPECT_THROW((void)kalman_filter_batched(spans, model.ss, other.init), std::logic_error);
  StateSpace bad = model.ss;
  bad.design = Eigen::VectorXd::Ones(2);
  EXPECT_THROW((void)kalman_filter_batched(spans, bad, model.init), std::logic_error);
  bad = model.ss;
  bad.k_states = 4;
  EXPECT_THROW((void)kalman_filter_batched(spans, bad, model.init), std::logic_error);
  bad = model.ss;
  bad.state_cov = Eigen::MatrixXd::Ones(2, 2);
  EXPECT_THROW((void)kalman_filter_batched(spans, bad, model.init), std::logic_error);
}

}  // namespace
}  // namespace peltaro::core
