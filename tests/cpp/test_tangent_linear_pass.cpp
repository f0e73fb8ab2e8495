#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "peltaro/core/kalman/batched_filter.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/score/initial_derivatives.hpp"
#include "peltaro/score/score.hpp"
#include "peltaro/score/tangent_linear_pass.hpp"
#include "score_fixtures.hpp"

// Count every heap allocation of the process, Eigen's included (they go
// through malloc, not operator new). Not under AddressSanitizer, which owns
// malloc itself.
#if !defined(__SANITIZE_ADDRESS__)
#define PELTARO_COUNT_MALLOC 1
namespace {
std::size_t g_mallocs = 0;
}
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* malloc(std::size_t size) {
  ++g_mallocs;
  return __libc_malloc(size);
}
#endif

using namespace peltaro;
using core::Columns;
using core::KalmanInit;
using core::SarimaxConfig;
using core::SarimaxOrder;
using core::StateSpace;
using core::Trend;
using core::Vec;
namespace fx = peltaro::score_fixtures;
using fx::cfg;

namespace {

struct Record {
  Vec dv, df;
  double v, finv;
};

struct RecordingSink {
  std::vector<Record> records;
  void record(std::span<const double> dv, std::span<const double> df, double v, double finv) {
    records.push_back({Vec(dv.begin(), dv.end()), Vec(df.begin(), df.end()), v, finv});
  }
};
static_assert(score::TlkfSink<RecordingSink>);

score::SystemDerivatives derivs_of(const SarimaxConfig& c, const fx::Evaluation& ev) {
  return score::precompute_derivatives(c, ev.params, ev.ss, ev.series.size(), ev.cols());
}

// Central difference of the initial state with one Richardson step.
template <class Get>
Eigen::MatrixXd fd_initial(const SarimaxConfig& c, const Vec& theta, std::size_t j, Get get) {
  const Vec y(10, 0.0);
  auto at = [&](double step) {
    Vec up = theta, down = theta;
    up[j] += step;
    down[j] -= step;
    const Eigen::MatrixXd hi = get(fx::build(c, up, y, nullptr).init);
    const Eigen::MatrixXd lo = get(fx::build(c, down, y, nullptr).init);
    return Eigen::MatrixXd((hi - lo) / (2.0 * step));
  };
  const double h = 1e-4 * std::fmax(std::fabs(theta[j]), 0.1);
  return (4.0 * at(h / 2) - at(h)) / 3.0;
}

}  // namespace

TEST(TangentLinearPass, FollowsTheFilterStepForStep) {
  const SarimaxConfig c = cfg({1, 1, 1, 0, 0, 0, 0}, Trend::Linear);
  const Vec y = fx::load_csv_column("nile.csv", 1);
  const fx::Evaluation ev = fx::build(c, {-0.01, 0.2, -0.8, 20000.0}, y, nullptr);
  const auto d = derivs_of(c, ev);
  RecordingSink sink;
  const score::TlkfResult r = score::tlkf_pass(ev.series, ev.ss, ev.init, d, sink);
  const auto filter = *core::kalman_core(ev.series, ev.ss, ev.init, false, true);

  ASSERT_EQ(ev.init.burn, 1u);
  ASSERT_EQ(sink.records.size(), y.size() - ev.init.burn);
  ASSERT_TRUE(r.steady_from.has_value());
  double sumsq = 0.0;
  for (std::size_t i = 0; i < sink.records.size(); ++i) {
    const std::size_t t = ev.init.burn + i;
    const Record& rec = sink.records[i];
    ASSERT_EQ(rec.dv.size(), 4u);
    ASSERT_EQ(rec.df.size(), 4u);
    EXPECT_NEAR(rec.v, filter.innovations[t], 1e-9 * std::fabs(filter.innovations[t]) + 1e-9) << t;
    EXPECT_NEAR(1.0 / rec.finv, filter.f_values[t], 1e-8 * filter.f_values[t]) << t;
    sumsq += (rec.v * rec.v) * rec.finv;
  }
  EXPECT_DOUBLE_EQ(r.sumsq, sumsq);
}

TEST(TangentLinearPass, WithoutParametersStillRecordsEveryObservation) {
  const SarimaxConfig c = cfg({0, 1, 0, 0, 0, 0, 0}, Trend::None, 0, true);
  const Vec y{1.0, 2.0, 4.0, 3.0, 5.0};
  const fx::Evaluation ev = fx::build(c, {}, y, nullptr);
  const auto d = derivs_of(c, ev);
  ASSERT_EQ(d.n_params, 0u);
  RecordingSink sink;
  score::tlkf_pass(ev.series, ev.ss, ev.init, d, sink);
  ASSERT_EQ(sink.records.size(), 4u);
  for (const Record& rec : sink.records) {
    EXPECT_TRUE(rec.dv.empty());
    EXPECT_TRUE(rec.df.empty());
  }
}

TEST(TangentLinearPass, EmptySeriesRecordsNothing) {
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0});
  const fx::Evaluation ev = fx::build(c, {0.5, 1.0}, {}, nullptr);
  const auto d = derivs_of(c, ev);
  RecordingSink sink;
  EXPECT_EQ(score::tlkf_pass(ev.series, ev.ss, ev.init, d, sink).sumsq, 0.0);
  EXPECT_TRUE(sink.records.empty());
}

// With no variance anywhere F is 0 at every step: nothing is updated, the
// state only follows a_t = φ^t·a_0, and each step counts as if F were 1e10.
TEST(TangentLinearPass, StepsWithoutPositiveVarianceAreSkipped) {
  const double phi = 0.8;
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0});
  const Vec y{0.3, -0.2, 0.5, 1.0, 0.1, -0.4};
  fx::Evaluation ev = fx::build(c, {phi, 1.0}, y, nullptr);
  ev.ss.state_cov(0, 0) = 0.0;
  for (const double p0 : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    KalmanInit init = ev.init;
    init.p0(0, 0) = p0;
    init.a0(0) = 2.0;
    init.stationary_block.reset();  // a start that does not depend on φ
    const auto d = derivs_of(c, ev);
    RecordingSink sink;
    const double sumsq = score::tlkf_pass(ev.series, ev.ss, init, d, sink).sumsq;
    ASSERT_EQ(sink.records.size(), y.size());
    double expected_sumsq = 0.0;
    for (std::size_t t = 0; t < y.size(); ++t) {
      const Record& rec = sink.records[t];
      const double a_t = 2.0 * std::pow(phi, static_cast<double>(t));
      const double da_t = t == 0 ? 0.0 : 2.0 * static_cast<double>(t) * std::pow(phi, static_cast<double>(t) - 1);
      EXPECT_EQ(rec.finv, 1e-10);
      EXPECT_NEAR(rec.v, y[t] - a_t, 1e-14);
      EXPECT_NEAR(rec.dv[0], -da_t, 1e-13);
      EXPECT_EQ(rec.dv[1], 0.0);
      EXPECT_EQ(rec.df[0], 0.0);
      EXPECT_EQ(rec.df[1], 0.0);
      expected_sumsq += (rec.v * rec.v) * 1e-10;
    }
    EXPECT_DOUBLE_EQ(sumsq, expected_sumsq);
  }
}

TEST(TangentLinearPass, Ar1EntersSteadyModeAtStepEight) {
  const double phi = 0.6, s2 = 1.7;
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0});
  const Vec y = fx::simulate_arma(40, {phi}, {}, 21);
  const fx::Evaluation ev = fx::build(c, {phi, s2}, y, nullptr);
  const auto d = derivs_of(c, ev);
  RecordingSink sink;
  const score::TlkfResult r = score::tlkf_pass(ev.series, ev.ss, ev.init, d, sink);
  ASSERT_EQ(r.steady_from, std::optional<std::size_t>(8));
  EXPECT_NEAR(1.0 / sink.records[0].finv, s2 / (1 - phi * phi), 1e-12);
  for (std::size_t t = 1; t < y.size(); ++t) EXPECT_NEAR(sink.records[t].finv, 1.0 / s2, 1e-12) << t;
  // Once frozen, the derivative of F is that of the frozen F = σ².
  EXPECT_NEAR(sink.records.back().df[1], 1.0, 1e-12);
  EXPECT_NEAR(sink.records.back().df[0], 0.0, 1e-12);
}

// The score is the gradient of the filter's likelihood only if both freeze the
// covariance at the same step; the batched filter, which the profiled
// likelihood runs, must agree too. Every case reaches steady mode, so an
// agreement on "never" cannot hide a difference. Near an MA unit root the rule
// decides on changes of a few 1e-15: there a covariance that differs from the
// filter's by one rounding moves the switch by a step or more.
TEST(TangentLinearPass, SwitchesAtTheSameStepAsBothFilters) {
  struct Case {
    const char* name;
    SarimaxConfig config;
    Vec theta;
    Vec y;
    std::optional<Columns> exog;
  };
  const Vec air = fx::log_of(fx::load_csv_column("airpassengers.csv", 1));
  const Vec arma = fx::simulate_arma(1500, {0.6}, {0.4}, 41);
  const Columns x{fx::simulate_normal(1500, 42)};
  const Vec long_arma = fx::simulate_arma(6000, {0.5}, {0.3}, 77);
  const std::vector<Case> cases{
      {"ar1", cfg({1, 0, 0, 0, 0, 0, 0}), {0.6, 1.7}, arma, {}},
      {"ar2_c_air", cfg({2, 0, 0, 0, 0, 0, 0}, Trend::Constant), {1.0, 1.2, -0.25, 0.01}, air, {}},
      {"arma11", cfg({1, 0, 1, 0, 0, 0, 0}), {0.7, 0.4, 1.0}, arma, {}},
      {"arma11_slow", cfg({1, 0, 1, 0, 0, 0, 0}), {0.5, 0.99, 1.0}, arma, {}},
      {"arima111", cfg({1, 1, 1, 0, 0, 0, 0}), {0.5, -0.3, 1.0}, arma, {}},
      {"arima212_t_diffuse", cfg({2, 1, 2, 0, 0, 0, 0}, Trend::Linear, 0, false, false), {0.01, 0.5, -0.2, 0.3, 0.1, 1.0}, arma, {}},
      {"airline", cfg({0, 1, 1, 0, 1, 1, 12}), {-0.4, -0.6, 1.0}, arma, {}},
      {"sarma_12", cfg({1, 0, 1, 1, 0, 1, 12}), {0.5, 0.3, 0.4, -0.5, 1.0}, arma, {}},
      {"sarma_4_conc_x1", cfg({1, 0, 0, 0, 0, 1, 4}, Trend::Constant, 1, true), {0.1, 0.8, 0.5, 0.6}, arma, x},
      {"arma11_near_unit_root", cfg({1, 0, 1, 0, 0, 0, 0}), {0.3, -0.998, 1.0}, long_arma, {}},
      {"airline_near_unit_root", cfg({0, 1, 1, 0, 1, 1, 12}), {-0.995, -0.5, 1.0}, long_arma, {}},
      {"sarima_4_near_unit_root", cfg({1, 0, 1, 0, 1, 0, 4}), {0.3, -0.998, 1.0}, long_arma, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fx::Evaluation ev = fx::build(c.config, c.theta, c.y, c.exog ? &*c.exog : nullptr);
    const auto filter = *core::kalman_core(ev.series, ev.ss, ev.init, false, false);
    const std::vector<std::span<const double>> one{ev.series};
    const auto batched = *core::kalman_filter_batched(one, ev.ss, ev.init);
    RecordingSink sink;
    const auto pass = score::tlkf_pass(ev.series, ev.ss, ev.init, derivs_of(c.config, ev), sink);
    ASSERT_TRUE(filter.steady_from.has_value());
    EXPECT_EQ(pass.steady_from, filter.steady_from);
    EXPECT_EQ(batched.steady_from, filter.steady_from);
  }
}

TEST(InitialDerivatives, Ar1ClosedForms) {
  const double phi = 0.6, s2 = 1.7;
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0});
  const fx::Evaluation ev = fx::build(c, {phi, s2}, Vec(5, 0.0), nullptr);
  const auto start = score::initial_derivatives(ev.ss, ev.init, derivs_of(c, ev));
  const double g = 1.0 - phi * phi;
  EXPECT_NEAR(start.dp0[1](0, 0), 1.0 / g, 1e-13);
  EXPECT_NEAR(start.dp0[0](0, 0), 2.0 * phi * s2 / (g * g), 1e-12);
}

TEST(InitialDerivatives, CovarianceMatchesFiniteDifference) {
  struct Case {
    SarimaxConfig config;
    Vec theta;
  };
  const std::vector<Case> cases{
      {cfg({2, 0, 1, 0, 0, 0, 0}), {0.5, -0.3, 0.4, 1.3}},
      {cfg({1, 0, 1, 1, 0, 0, 4}), {0.4, 0.3, 0.5, 0.9}},
      {cfg({1, 1, 1, 0, 0, 0, 0}), {0.5, 0.3, 2.0}},
      {cfg({0, 1, 1, 0, 1, 1, 12}), {-0.4, -0.6, 0.0014}},
      {cfg({2, 0, 2, 1, 0, 1, 3}, Trend::Constant, 0, true), {1.0, 0.6, -0.2, 0.3, 0.1, 0.5, -0.4}},
  };
  for (const Case& c : cases) {
    const fx::Evaluation ev = fx::build(c.config, c.theta, Vec(10, 0.0), nullptr);
    ASSERT_TRUE(ev.init.stationary_block.has_value());
    const auto start = score::initial_derivatives(ev.ss, ev.init, derivs_of(c.config, ev));
    for (std::size_t j = 0; j < c.theta.size(); ++j) {
      const Eigen::MatrixXd fd =
          fd_initial(c.config, c.theta, j, [](const KalmanInit& i) { return i.p0; });
      const double err = (start.dp0[j] - fd).cwiseAbs().maxCoeff();
      EXPECT_LE(err, 1e-7 * std::fmax(1.0, fd.cwiseAbs().maxCoeff())) << "parameter " << j;
    }
  }
}

// With a constant the stationary block starts at μ = (I − T_b)⁻¹·c_b, which
// moves with the constant and with every AR coefficient.
TEST(InitialDerivatives, MeanMatchesFiniteDifference) {
  struct Case {
    SarimaxConfig config;
    Vec theta;
  };
  const std::vector<Case> cases{
      {cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant), {2.0, 0.6, 1.0}},
      {cfg({2, 1, 1, 0, 0, 0, 0}, Trend::ConstantLinear), {0.5, 0.1, 0.6, -0.2, 0.3, 1.0}},
      {cfg({1, 0, 0, 1, 0, 1, 4}, Trend::Constant, 0, true), {3.0, 0.5, 0.4, 0.2}},
      {cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant), {0.0, 0.6, 1.0}},  // μ = 0, dμ/dc is not
  };
  for (const Case& c : cases) {
    const fx::Evaluation ev = fx::build(c.config, c.theta, Vec(10, 0.0), nullptr);
    const auto start = score::initial_derivatives(ev.ss, ev.init, derivs_of(c.config, ev));
    for (std::size_t j = 0; j < c.theta.size(); ++j) {
      const Eigen::MatrixXd fd =
          fd_initial(c.config, c.theta, j, [](const KalmanInit& i) { return Eigen::MatrixXd(i.a0); });
      EXPECT_LE((Eigen::MatrixXd(start.da0[j]) - fd).cwiseAbs().maxCoeff(), 1e-7) << "parameter " << j;
    }
  }
  const fx::Evaluation ar1 = fx::build(cases[0].config, cases[0].theta, Vec(10, 0.0), nullptr);
  const auto start = score::initial_derivatives(ar1.ss, ar1.init, derivs_of(cases[0].config, ar1));
  EXPECT_NEAR(start.da0[0](0), 1.0 / 0.4, 1e-14);
  EXPECT_NEAR(start.da0[1](0), 2.0 / (0.4 * 0.4), 1e-13);
}

// The way back's one-solve form against the per-parameter derivatives:
// ā'·da0_j + ⟨P̄, dP0_j⟩ for an arbitrary ā and symmetric P̄, on blocks with
// and without AR terms (a shift is solved reversed), with a mean that moves.
TEST(InitialDerivatives, AdjointFormMatchesThePerParameterOnes) {
  struct Case {
    SarimaxConfig config;
    Vec theta;
  };
  const std::vector<Case> cases{
      {cfg({0, 1, 1, 0, 1, 1, 12}), {-0.4, -0.6, 0.0014}},
      {cfg({0, 0, 3, 0, 0, 0, 0}), {0.5, -0.2, 0.1, 2.0}},
      {cfg({2, 1, 1, 0, 0, 0, 0}, Trend::ConstantLinear), {0.5, 0.1, 0.6, -0.2, 0.3, 1.0}},
      {cfg({1, 0, 1, 1, 0, 1, 4}, Trend::Constant), {2.0, 0.4, 0.3, 0.5, -0.3, 0.9}},
      {cfg({2, 0, 2, 1, 0, 1, 3}, Trend::Constant, 0, true), {1.0, 0.6, -0.2, 0.3, 0.1, 0.5, -0.4}},
  };
  for (const Case& c : cases) {
    const fx::Evaluation ev = fx::build(c.config, c.theta, Vec(10, 0.0), nullptr);
    const auto d = derivs_of(c.config, ev);
    const auto m = static_cast<Eigen::Index>(ev.ss.k_states);
    const Eigen::VectorXd abar = Eigen::VectorXd::LinSpaced(m, -1.0, 2.0);
    const Eigen::MatrixXd R = Eigen::MatrixXd::Random(m, m);
    const Eigen::MatrixXd Pbar = R + R.transpose();
    const auto start = score::initial_derivatives(ev.ss, ev.init, d);
    const Vec got = score::initial_state_adjoint(ev.ss, ev.init, d, abar, Pbar);
    for (std::size_t j = 0; j < c.theta.size(); ++j) {
      const double want = abar.dot(start.da0[j]) + Pbar.cwiseProduct(start.dp0[j]).sum();
      EXPECT_NEAR(got[j], want, 1e-10 * std::fmax(1.0, std::fabs(want))) << "parameter " << j;
    }
  }
}

TEST(InitialDerivatives, DiffuseStartHasNone) {
  const SarimaxConfig c = cfg({1, 1, 1, 0, 0, 0, 0}, Trend::Constant, 0, false, false);
  const fx::Evaluation ev = fx::build(c, {1.0, 0.5, 0.3, 2.0}, Vec(10, 0.0), nullptr);
  EXPECT_EQ(ev.init.burn, ev.ss.k_states);
  const auto start = score::initial_derivatives(ev.ss, ev.init, derivs_of(c, ev));
  for (std::size_t j = 0; j < 4; ++j) {
    EXPECT_TRUE(start.dp0[j].isZero(0.0));
    EXPECT_TRUE(start.da0[j].isZero(0.0));
  }
}

TEST(InitialDerivatives, FailedSolveZeroesOnlyThatParameter) {
  const SarimaxConfig c = cfg({1, 0, 1, 0, 0, 0, 0});
  const fx::Evaluation ev = fx::build(c, {0.5, 0.3, 1.0}, Vec(10, 0.0), nullptr);
  auto d = derivs_of(c, ev);
  const auto good = score::initial_derivatives(ev.ss, ev.init, d);
  d.drqr[1]->setConstant(std::numeric_limits<double>::quiet_NaN());
  const auto bad = score::initial_derivatives(ev.ss, ev.init, d);
  EXPECT_TRUE(bad.dp0[1].isZero(0.0));
  EXPECT_FALSE(bad.dp0_nonzero[1]);
  EXPECT_EQ(bad.dp0[0], good.dp0[0]);
  EXPECT_EQ(bad.dp0[2], good.dp0[2]);
}

TEST(TangentLinearPass, RefusesDerivativesOfAnotherSystem) {
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0});
  const fx::Evaluation ev = fx::build(c, {0.5, 1.0}, Vec(10, 0.0), nullptr);
  const SarimaxConfig wide = cfg({3, 0, 0, 0, 0, 0, 0});
  const fx::Evaluation other = fx::build(wide, {0.1, 0.1, 0.1, 1.0}, Vec(10, 0.0), nullptr);
  const auto d = derivs_of(wide, other);
  RecordingSink sink;
  EXPECT_THROW(score::tlkf_pass(ev.series, ev.ss, ev.init, d, sink), std::logic_error);
}

#ifdef PELTARO_COUNT_MALLOC
// Everything the pass needs is allocated before its time loop: a pass over
// ten times as many observations makes exactly as many allocations.
TEST(TangentLinearPass, TimeLoopAllocatesNothing) {
  struct Case {
    SarimaxConfig config;
    Vec theta;
  };
  const std::vector<Case> cases{
      {cfg({1, 1, 1, 0, 0, 0, 0}, Trend::Linear, 1), {0.01, 0.5, 0.4, 0.2, 1.0}},
      {cfg({1, 0, 0, 0, 1, 1, 4}, Trend::Constant), {0.1, 0.5, 0.3, 1.0}},
      {cfg({2, 0, 1, 0, 0, 0, 0}, Trend::ConstantLinear, 2, true), {1.0, 0.01, 0.5, -0.5, 0.6, -0.2, 0.3}},
  };
  for (const Case& c : cases) {
    std::size_t counts[2];
    std::optional<std::size_t> steady[2];
    for (const std::size_t n : {40u, 400u}) {
      const Vec y = fx::simulate_arma(n, {0.5}, {0.3}, 31);
      const Columns x{fx::simulate_normal(n, 32), fx::simulate_normal(n, 33)};
      const fx::Evaluation ev = fx::build(c.config, c.theta, y, &x);
      const auto d = derivs_of(c.config, ev);
      fx::ScoreSums sums(d.n_params);
      score::ObsRecords rows(d.n_params, n);
      const std::size_t before = g_mallocs;
      const auto r1 = score::tlkf_pass(ev.series, ev.ss, ev.init, d, sums);
      score::tlkf_pass(ev.series, ev.ss, ev.init, d, rows);
      counts[n == 400u] = g_mallocs - before;
      steady[n == 400u] = r1.steady_from;
    }
    EXPECT_GT(counts[0], 0u);  // the counter sees the set-up
    EXPECT_EQ(counts[0], counts[1]);
    EXPECT_TRUE(steady[1].has_value());  // both the normal and the steady steps ran
  }
}
#endif
