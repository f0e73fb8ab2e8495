#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"
#include "reference_filter.hpp"

using namespace peltaro::core;
using peltaro::testing::reference_filter;

namespace {

struct Model {
  SarimaxConfig config;
  SarimaxParams params;
  StateSpace ss;
  KalmanInit init;
};

Model make(SarimaxOrder o, SarimaxParams p, std::size_t n, bool stationary = true,
           Trend trend = Trend::None) {
  Model m;
  m.config.order = o;
  m.config.enforce_stationarity = stationary;
  m.config.trend = trend;
  m.params = std::move(p);
  const Vec y(n, 0.0);
  m.ss = *StateSpace::create(m.config, m.params, y, nullptr);
  m.init = KalmanInit::from_config_default(m.ss, m.config);
  return m;
}

// The airline model at the usual coefficients, approximately diffuse
// differencing states.
Model airline(std::size_t n) {
  SarimaxParams p;
  p.ma = {-0.4};
  p.seasonal_ma = {-0.6};
  p.sigma2 = 0.0014;
  return make({0, 1, 1, 0, 1, 1, 12}, p, n);
}

Vec simulate_noise(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> N;
  Vec y(n);
  for (auto& v : y) v = N(rng);
  return y;
}

// The same coefficient for every lag of a kind, with variance 0.7.
SarimaxParams uniform_coefficients(SarimaxOrder o) {
  SarimaxParams p;
  p.ar.assign(o.p, 0.3);
  p.ma.assign(o.q, -0.4);
  p.seasonal_ar.assign(o.P, 0.2);
  p.seasonal_ma.assign(o.Q, -0.5);
  p.sigma2 = 0.7;
  return p;
}

SarimaxParams ar1(double phi, double sigma2) {
  SarimaxParams p;
  p.ar = {phi};
  p.sigma2 = sigma2;
  return p;
}

}  // namespace

TEST(KalmanFilter, Ar1MatchesTheClosedFormLikelihood) {
  const double phi = 0.6, s2 = 1.7;
  const Vec y = simulate_noise(50, 1);
  auto m = make({1, 0, 0, 0, 0, 0, 0}, ar1(phi, s2), y.size());
  auto out = kalman_core(y, m.ss, m.init, false, true);
  ASSERT_TRUE(out.has_value());
  // Exact AR(1) likelihood: y0 ~ N(0, s2/(1−φ²)), y_t | y_{t−1} ~ N(φ·y_{t−1}, s2).
  const double v0 = s2 / (1 - phi * phi);
  double ll = -0.5 * (std::log(2 * M_PI * v0) + y[0] * y[0] / v0);
  for (std::size_t t = 1; t < y.size(); ++t) {
    const double e = y[t] - phi * y[t - 1];
    ll += -0.5 * (std::log(2 * M_PI * s2) + e * e / s2);
  }
  EXPECT_NEAR(out->loglike, ll, 1e-10);
  EXPECT_EQ(out->n_eff, 50u);
  EXPECT_EQ(out->scale, s2);
  // F_0 is the stationary variance, then σ²; P stands still from t = 2, so the
  // checks at t = 5, 6 and 7 pass and steady mode from t = 8 keeps F_ss = σ².
  EXPECT_EQ(out->steady_from, std::optional<std::size_t>(8));
  EXPECT_NEAR(out->f_values[0], v0, 1e-12);
  for (std::size_t t = 1; t < y.size(); ++t) EXPECT_NEAR(out->f_values[t], s2, 1e-12);
}

TEST(KalmanFilter, SeasonalModelsAreNotFrozenWhilePStillMoves) {
  // P·Z of a pure seasonal model stays put for a whole season while the rest
  // of P still changes; the likelihood must equal the unfrozen recursion.
  for (int kind = 0; kind < 2; ++kind) {
    SarimaxParams p;
    p.sigma2 = 1.0;
    SarimaxOrder o{0, 0, 0, 0, 0, 0, 12};
    if (kind == 0) {
      o.P = 1;
      p.seasonal_ar = {0.5};
    } else {
      o.Q = 1;
      p.seasonal_ma = {0.5};
    }
    const Vec y = simulate_noise(240, 11 + kind);
    auto m = make(o, p, y.size());
    auto out = kalman_loglike(y, m.ss, m.init, false);
    ASSERT_TRUE(out.has_value());
    const auto ref = reference_filter(y, m.ss, m.init, false);
    EXPECT_NEAR(out->loglike, ref.loglike, 1e-8 * std::fabs(ref.loglike)) << "kind " << kind;
  }
}

TEST(KalmanFilter, AgreesWithThePlainFilterOnDiffuseAndTrendModels) {
  const Vec e = simulate_noise(300, 3);
  Vec y(e.size());
  double level = 10.0;
  for (std::size_t t = 0; t < y.size(); ++t) {
    level += 0.1 + e[t];
    y[t] = level + 0.5 * e[t];
  }
  struct Case {
    SarimaxOrder o;
    bool stationary;
    Trend trend;
    bool conc;
  };
  const Case cases[] = {
      {{1, 1, 1, 0, 0, 0, 0}, true, Trend::None, false},
      {{1, 1, 1, 0, 0, 0, 0}, false, Trend::Constant, true},
      {{2, 0, 1, 1, 0, 0, 4}, true, Trend::ConstantLinear, false},
      {{0, 1, 1, 0, 1, 1, 4}, true, Trend::None, true},
      {{1, 0, 0, 0, 0, 0, 0}, true, Trend::Constant, false},
  };
  for (const auto& c : cases) {
    SarimaxParams p;
    p.ar.assign(c.o.p, 0.3);
    p.ma.assign(c.o.q, 0.4);
    p.seasonal_ar.assign(c.o.P, 0.2);
    p.seasonal_ma.assign(c.o.Q, -0.3);
    p.trend.assign(K_TREND_TABLE[static_cast<int>(c.trend)], 0.05);
    p.sigma2 = 1.3;
    auto m = make(c.o, p, y.size(), c.stationary, c.trend);
    auto out = kalman_core(y, m.ss, m.init, c.conc, true);
    ASSERT_TRUE(out.has_value()) << out.error().display();
    const auto ref = reference_filter(y, m.ss, m.init, c.conc);
    EXPECT_NEAR(out->loglike, ref.loglike, 1e-8 * std::fabs(ref.loglike));
    for (std::size_t t = 0; t < y.size(); ++t)
      ASSERT_NEAR(out->innovations[t], ref.innovations[t], 1e-6 * (1 + std::fabs(ref.innovations[t])));
  }
}

TEST(KalmanFilter, TooFewObservations) {
  auto m = make({0, 1, 1, 0, 0, 0, 0}, SarimaxParams{1.0, {}, {}, {}, {0.2}, {}, {}}, 3, false);
  EXPECT_EQ(m.init.burn, 3u);
  auto out = kalman_loglike(Vec{1, 2, 3}, m.ss, m.init, false);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().display(), "data error: Not enough observations: n=3 <= burn=3");
  auto m4 = make({0, 1, 1, 0, 0, 0, 0}, SarimaxParams{1.0, {}, {}, {}, {0.2}, {}, {}}, 4, false);
  auto ok = kalman_loglike(Vec{1, 2, 3, 5}, m4.ss, m4.init, false);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->n_eff, 1u);
  EXPECT_EQ(ok->innovations.size(), 4u);
}

TEST(KalmanFilter, Snapshots) {
  const Vec y = simulate_noise(20, 5);
  auto m = make({1, 0, 0, 0, 0, 0, 0}, ar1(0.5, 1.0), y.size());
  const std::vector<std::size_t> none;
  auto r0 = kalman_filter_with_snapshots(y, m.ss, m.init, false, none);
  ASSERT_TRUE(r0.has_value());
  EXPECT_TRUE(r0->second.empty());

  const std::vector<std::size_t> origins{0, 2, 2, 20};
  auto r = kalman_filter_with_snapshots(y, m.ss, m.init, false, origins);
  ASSERT_TRUE(r.has_value());
  const auto& snaps = r->second;
  ASSERT_EQ(snaps.size(), 4u);
  EXPECT_EQ(snaps[0].state, m.init.a0);
  EXPECT_EQ(snaps[0].cov, m.init.p0);
  EXPECT_EQ(snaps[1].t, 2u);
  EXPECT_EQ(snaps[1].state, snaps[2].state);
  EXPECT_EQ(snaps[3].state, r->first.predicted_state);
  EXPECT_EQ(snaps[3].cov, r->first.predicted_cov);
  // Predicted state at t = 2 of an AR(1) is φ·y_1.
  EXPECT_NEAR(snaps[1].state[0], 0.5 * y[1], 1e-14);

  const std::vector<std::size_t> bad{3, 1};
  auto e = kalman_filter_with_snapshots(y, m.ss, m.init, false, bad);
  ASSERT_FALSE(e.has_value());
  EXPECT_EQ(e.error().display(),
            "invalid input: snapshot origins must be sorted ascending and <= n=20, got [3, 1]");
  const std::vector<std::size_t> past{21};
  auto e2 = kalman_filter_with_snapshots(y, m.ss, m.init, false, past);
  ASSERT_FALSE(e2.has_value());
  EXPECT_EQ(e2.error().kind(), SarimaxError::Kind::InvalidInput);
}

TEST(KalmanFilter, NonFiniteInputsAndDegenerateScale) {
  Vec y = simulate_noise(30, 9);
  auto m = make({1, 0, 0, 0, 0, 0, 0}, ar1(0.5, 1.0), y.size());
  y[10] = std::numeric_limits<double>::quiet_NaN();
  auto e = kalman_loglike(y, m.ss, m.init, false);
  ASSERT_FALSE(e.has_value());
  EXPECT_EQ(e.error().display(),
            "data error: non-finite Kalman statistics encountered (possible NaN/Inf in inputs)");

  // All-zero innovations with the scale concentrated: scale 0, finite loglike.
  const Vec zeros(30, 0.0);
  auto z = kalman_loglike(zeros, m.ss, m.init, true);
  ASSERT_TRUE(z.has_value());
  EXPECT_EQ(z->scale, 0.0);
  EXPECT_TRUE(std::isfinite(z->loglike));
}

TEST(KalmanFilter, NonPositiveVarianceStepIsSkippedButCounted) {
  // A zero variance makes every F zero: each step counts as F = 1e10.
  const Vec y{1.0, -2.0, 0.5};
  auto m = make({0, 0, 0, 0, 0, 0, 0}, SarimaxParams{0.0, {}, {}, {}, {}, {}, {}}, 3);
  m.init.p0.setZero();  // no variance anywhere: F_t = 0 at every step
  auto out = kalman_core(y, m.ss, m.init, false, true);
  ASSERT_TRUE(out.has_value());
  double expected = -1.5 * LN_2PI - 0.5 * 3 * LN_SKIP_F;
  for (double v : y) expected -= 0.5 * (v * v) / 1e10;
  EXPECT_DOUBLE_EQ(out->loglike, expected);
  EXPECT_EQ(out->f_values, (Vec{0.0, 0.0, 0.0}));
  EXPECT_EQ(out->filtered_state, out->predicted_state);  // not updated
}

TEST(KalmanFilter, StoredOutputsOnlyWhenAsked) {
  const Vec y = simulate_noise(40, 2);
  auto m = make({1, 0, 0, 0, 0, 0, 0}, ar1(0.5, 1.0), y.size());
  auto off = kalman_core(y, m.ss, m.init, false, false);
  ASSERT_TRUE(off.has_value());
  EXPECT_TRUE(off->f_values.empty());
  EXPECT_EQ(off->filtered_state.size(), 0);
  EXPECT_EQ(off->filtered_cov.size(), 0);
  auto on = kalman_core(y, m.ss, m.init, false, true);
  ASSERT_TRUE(on.has_value());
  EXPECT_EQ(on->f_values.size(), 40u);
  // Filtered state of an AR(1) at the last step is the last observation.
  EXPECT_NEAR(on->filtered_state[0], y.back(), 1e-12);
  EXPECT_NEAR(on->predicted_state[0], 0.5 * y.back(), 1e-12);
}

namespace {

// Models whose passes without stored outputs leave P's upper triangle partly
// unformed (the folded steps form only what they read).
struct PartlyFormedCase {
  const char* name;
  SarimaxOrder o;
  std::size_t n;
};
constexpr PartlyFormedCase partly_formed_cases[] = {
    {"airline, steady within n", {0, 1, 1, 0, 1, 1, 12}, 600},
    {"airline, short", {0, 1, 1, 0, 1, 1, 12}, 144},
    {"(2,1,2)(1,1,1,4)", {2, 1, 2, 1, 1, 1, 4}, 300},
    {"(3,0,0)(2,0,0,4)", {3, 0, 0, 2, 0, 0, 4}, 200},
    {"(2,2,1)(0,1,0,12)", {2, 2, 1, 0, 1, 0, 12}, 120},
    {"(0,1,1)(1,1,1,12)", {0, 1, 1, 1, 1, 1, 12}, 144},
};

}  // namespace

// The likelihood, the switch and the final P must not notice.
TEST(KalmanFilter, PassWithoutOutputsIsBitForBitThePassWithThem) {
  for (const PartlyFormedCase& c : partly_formed_cases) {
    const Vec y = simulate_noise(c.n, 23);
    auto m = make(c.o, uniform_coefficients(c.o), y.size());
    auto off = kalman_core(y, m.ss, m.init, false, false);
    auto on = kalman_core(y, m.ss, m.init, false, true);
    ASSERT_TRUE(off.has_value() && on.has_value()) << c.name;
    EXPECT_EQ(off->loglike, on->loglike) << c.name;
    EXPECT_EQ(off->steady_from, on->steady_from) << c.name;
    EXPECT_TRUE(off->predicted_cov.cwiseEqual(on->predicted_cov).all()) << c.name;
  }
}

// A pass that follows the filter sees each step as the filter runs it: its
// terms give the filter's own log-likelihood bit for bit, and its steady
// steps start at the switch. A stop fails the pass where it is asked.
TEST(KalmanFilter, AnObserverSeesEveryStepAsTheFilterRunsIt) {
  struct Log final : FilterObserver {
    std::vector<FilterStep> steps;
    std::size_t stop_at = static_cast<std::size_t>(-1);
    bool step(const FilterStep& s) override {
      steps.push_back(s);
      return s.t != stop_at;
    }
  };
  const Vec y = simulate_noise(600, 21);
  auto m = airline(y.size());
  const FilterSystem sys(m.ss);
  Log log;
  auto out = kalman_core(y, m.ss, m.init, sys, false, false, std::nullopt, &log);
  const auto plain = kalman_core(y, m.ss, m.init, sys, false, false);
  ASSERT_TRUE(out.has_value() && out->steady_from.has_value() && plain.has_value());
  ASSERT_EQ(log.steps.size(), y.size());
  EXPECT_TRUE(out->innovations.empty());  // handed to the observer instead
  double sum_ln_f = 0.0, sum_v2_f = 0.0;
  for (const FilterStep& s : log.steps) {
    EXPECT_EQ(s.v, plain->innovations[s.t]) << s.t;
    EXPECT_EQ(s.kind, s.t < *out->steady_from ? StepKind::Update : StepKind::Steady) << s.t;
    if (s.t < m.init.burn) continue;
    sum_ln_f += s.ln_f;
    sum_v2_f += s.v2_f;
  }
  const auto value = loglike_from_sums(sum_ln_f, sum_v2_f, y.size() - m.init.burn, false, 0.0014);
  EXPECT_EQ(value->loglike, out->loglike);
  EXPECT_EQ(value->loglike, plain->loglike);

  Log stopping;
  stopping.stop_at = 5;
  EXPECT_FALSE(kalman_core(y, m.ss, m.init, sys, false, false, std::nullopt, &stopping));
  EXPECT_EQ(stopping.steps.size(), 6u);
}

// A pass taken up at a step of an earlier one, from the mean and covariance
// its observer was shown there, runs the steps that followed as they ran, bit
// for bit, up to the earlier pass's switch to steady mode.
TEST(KalmanFilter, AResumedPassRunsItsStepsAsTheFirstRanThem) {
  struct Steps final : FilterObserver {
    std::vector<StepKind> kind;
    Vec v, finv;
    std::vector<Eigen::VectorXd> mean, pz;
    std::vector<StateCovariance> cov;  // as the pass held it, as a resumed pass reads it
    std::size_t stop = static_cast<std::size_t>(-1);  // the first step not to run
    bool step(const FilterStep& s) override {
      if (s.t >= stop) return false;
      kind.push_back(s.kind);
      v.push_back(s.v);
      finv.push_back(s.finv);
      mean.push_back(s.mean);
      pz.push_back(s.pz);
      cov.push_back(s.cov);
      return true;
    }
  };
  for (const PartlyFormedCase& c : partly_formed_cases) {
    SCOPED_TRACE(c.name);
    const Vec y = simulate_noise(c.n, 25);
    auto m = make(c.o, uniform_coefficients(c.o), y.size());
    const FilterSystem sys(m.ss);
    Steps first;
    auto out = kalman_core(y, m.ss, m.init, sys, false, false, std::nullopt, &first);
    ASSERT_TRUE(out.has_value());
    const std::size_t end = out->steady_from.value_or(c.n);
    const std::size_t burn = m.init.burn;
    for (const std::size_t from : {std::size_t{0}, burn / 2, burn, burn + 7, end / 2, end - 1}) {
      if (from >= end) continue;
      SCOPED_TRACE(from);
      Steps again;
      again.stop = end;
      kalman_resume(y, m.ss, m.init, sys, {from, first.mean[from], first.cov[from]}, again);
      ASSERT_EQ(again.kind.size(), end - from);
      for (std::size_t i = 0; i < again.kind.size(); ++i) {
        const std::size_t t = from + i;
        ASSERT_EQ(again.kind[i], first.kind[t]) << t;
        EXPECT_EQ(again.v[i], first.v[t]) << t;
        EXPECT_EQ(again.finv[i], first.finv[t]) << t;
        EXPECT_TRUE(again.mean[i].cwiseEqual(first.mean[t]).all()) << t;
        if (first.kind[t] == StepKind::Update) {
          EXPECT_TRUE(again.pz[i].cwiseEqual(first.pz[t]).all()) << t;
        }
        Eigen::MatrixXd now, was;
        again.cov[i].copy_whole(now);
        first.cov[t].copy_whole(was);
        EXPECT_TRUE(now.cwiseEqual(was).all()) << t;
      }
    }
  }
}

TEST(KalmanFilter, DifferencedSeasonalModelSettlesIntoSteadyMode) {
  // The airline model with approximately diffuse differencing states: the
  // recursion must settle (steady steps repeat F_ss exactly) and still give
  // the likelihood of the plain recursion.
  const Vec y = simulate_noise(1500, 21);
  auto m = airline(y.size());
  auto out = kalman_core(y, m.ss, m.init, false, true);
  ASSERT_TRUE(out.has_value());
  const double last = out->f_values.back();
  for (std::size_t t = y.size() - 200; t < y.size(); ++t) ASSERT_EQ(out->f_values[t], last) << t;
  const auto ref = reference_filter(y, m.ss, m.init, false);
  EXPECT_NEAR(out->loglike, ref.loglike, 1e-8 * std::fabs(ref.loglike));
}

// An MA root near the unit circle makes the covariance converge by a factor
// close to 1 per step (θ² once it is geometric, slower before). A small change
// then still leaves much drift to come; the switch must wait until that drift
// is negligible, and the likelihood stays that of the plain recursion.
TEST(KalmanFilter, SlowlyConvergingCovarianceFreezesOnlyWhenNothingIsLeftToDrift) {
  struct Case {
    SarimaxOrder order;
    SarimaxParams params;
    std::size_t n;
    bool switches;  // whether steady mode is reached within n steps
  };
  const Case cases[] = {
      {{0, 0, 1, 0, 0, 0, 0}, {1.0, {}, {}, {}, {0.99}, {}, {}}, 5000, true},
      {{0, 0, 1, 0, 0, 0, 0}, {1.0, {}, {}, {}, {0.999}, {}, {}}, 5000, false},
      {{0, 0, 1, 0, 0, 0, 0}, {1.0, {}, {}, {}, {0.999}, {}, {}}, 20000, true},
      {{0, 0, 1, 0, 0, 0, 0}, {1.0, {}, {}, {}, {0.9999}, {}, {}}, 20000, false},
      {{1, 0, 1, 0, 0, 0, 0}, {1.0, {}, {}, {0.5}, {0.99}, {}, {}}, 3000, true},
      {{1, 0, 1, 0, 1, 0, 4}, {1.0, {}, {}, {0.3}, {0.98}, {}, {}}, 3000, true},
  };
  for (const Case& c : cases) {
    // A path of the model itself, so that the innovations are of the size
    // the model expects.
    const double phi = c.params.ar.empty() ? 0.0 : c.params.ar[0];
    const Vec e = simulate_noise(c.n + 1, 31);
    Vec y(c.n);
    for (std::size_t t = 0; t < c.n; ++t) {
      y[t] = (t > 0 ? phi * y[t - 1] : 0.0) + e[t + 1] + c.params.ma[0] * e[t];
    }
    if (c.order.D == 1) {
      for (std::size_t t = c.order.s; t < c.n; ++t) y[t] += y[t - c.order.s];
    }
    auto m = make(c.order, c.params, c.n);
    auto out = kalman_core(y, m.ss, m.init, false, false);
    ASSERT_TRUE(out.has_value());
    const auto ref = reference_filter(y, m.ss, m.init, false);
    SCOPED_TRACE("theta " + std::to_string(c.params.ma[0]) + ", n " + std::to_string(c.n));
    EXPECT_EQ(out->steady_from.has_value(), c.switches);
    EXPECT_LE(std::fabs(out->loglike - ref.loglike), 1e-9 * std::fabs(ref.loglike))
        << out->loglike << " vs " << ref.loglike;
  }
}

TEST(KalmanFilter, BurnStepsKeepTheReferenceOrderBitForBit) {
  // While the diffuse states are resolved the likelihood depends on the
  // order of every operation, so the steps t < burn must reproduce the
  // update followed by `predict_cov` exactly; F of step burn is the first to
  // see the folded prediction.
  struct Case {
    const char* name;
    SarimaxOrder o;
    bool stationary;
  };
  const Case cases[] = {
      {"airline", {0, 1, 1, 0, 1, 1, 12}, true},
      {"(2,2,1)(0,1,0,12)", {2, 2, 1, 0, 1, 0, 12}, true},
      {"(1,1,1) diffuse, dense products", {1, 1, 1, 0, 0, 0, 0}, false},
      {"(2,1,2)(1,1,1,4) diffuse", {2, 1, 2, 1, 1, 1, 4}, false},
  };
  const Vec y = simulate_noise(80, 17);
  for (const Case& c : cases) {
    auto m = make(c.o, uniform_coefficients(c.o), y.size(), c.stationary);
    auto out = kalman_core(y, m.ss, m.init, false, true);
    ASSERT_TRUE(out.has_value()) << c.name;

    const std::size_t k = m.ss.k_states;
    const Eigen::MatrixXd& T = m.ss.transition;
    const SparseT st = SparseT::from_dense(T, k);
    const SparseZ sz = SparseZ::from_dense(m.ss.design, k);
    const KalmanStrategy strategy = choose_strategy(st);
    const Eigen::MatrixXd rqr = (m.ss.selection * m.ss.state_cov) * m.ss.selection.transpose();
    Eigen::MatrixXd P = m.init.p0, W(k, k);
    Eigen::VectorXd pz(k);
    for (std::size_t t = 0; t <= m.init.burn; ++t) {
      const double F = compute_pz_and_f(strategy, P, m.ss.design, sz, k, pz);
      ASSERT_EQ(out->f_values[t], F) << c.name << " t=" << t;
      if (F > 0.0) {
        for (Eigen::Index j = 0; j < P.cols(); ++j) P.col(j) += (pz[j] * (-1.0 / F)) * pz;
      }
      predict_cov(strategy, T, T.transpose(), st, P, rqr, W);
    }
  }
}

// A pass keeps the thread's system from one call to the next: whatever ran
// before it (the same T with other MA values, another model), it gives what
// a system formed for it alone gives, bit for bit.
TEST(KalmanFilter, PassesOnOneThreadGiveWhatAFreshSystemGives) {
  const Vec y = simulate_noise(150, 29);
  const SarimaxOrder airline{0, 1, 1, 0, 1, 1, 12};
  SarimaxParams other = uniform_coefficients(airline);
  other.ma = {-0.7};  // the same signs: R·Q·R' has its zeros where they were
  other.seasonal_ma = {-0.1};
  other.sigma2 = 2.0;
  const Model models[] = {make(airline, uniform_coefficients(airline), y.size()),
                          make(airline, other, y.size()),
                          make({2, 1, 2, 1, 1, 1, 12}, uniform_coefficients({2, 1, 2, 1, 1, 1, 12}), y.size()),
                          make({1, 0, 0, 0, 0, 0, 0}, ar1(0.5, 1.0), y.size()),
                          make(airline, uniform_coefficients(airline), y.size())};
  for (const Model& m : models) {
    const auto kept = kalman_core(y, m.ss, m.init, false, false);
    const auto fresh = kalman_core(y, m.ss, m.init, FilterSystem(m.ss), false, false);
    ASSERT_TRUE(kept.has_value() && fresh.has_value());
    EXPECT_EQ(kept->loglike, fresh->loglike);
    EXPECT_TRUE(kept->predicted_cov.cwiseEqual(fresh->predicted_cov).all());
  }
}
