#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "peltaro/core/polynomial.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/score/system_derivatives.hpp"

using namespace peltaro;
using core::SarimaxConfig;
using core::SarimaxOrder;
using core::SarimaxParams;
using core::StateSpace;
using core::Trend;
using core::Vec;
using score::precompute_derivatives;
using score::SystemDerivatives;

namespace {

SarimaxConfig cfg(SarimaxOrder o, Trend trend = Trend::None, std::uint64_t n_exog = 0,
                  bool concentrate = false) {
  SarimaxConfig c;
  c.order = o;
  c.trend = trend;
  c.n_exog = n_exog;
  c.concentrate_scale = concentrate;
  return c;
}

StateSpace system(const SarimaxConfig& c, const Vec& theta, std::size_t n,
                  const core::Columns* exog = nullptr) {
  const Vec y(n, 0.0);
  return *StateSpace::create(c, *SarimaxParams::from_flat(theta, c), y, exog);
}

SystemDerivatives derivs(const SarimaxConfig& c, const Vec& theta, std::size_t n,
                         const core::Columns* exog = nullptr) {
  const StateSpace ss = system(c, theta, n, exog);
  return precompute_derivatives(c, *SarimaxParams::from_flat(theta, c), ss, n, exog);
}

Eigen::MatrixXd rqr(const StateSpace& ss) {
  return (ss.selection * ss.state_cov) * ss.selection.transpose();
}

Eigen::MatrixXd dense(const std::vector<core::SparseTEntry>& entries, Eigen::Index m) {
  Eigen::MatrixXd out = Eigen::MatrixXd::Zero(m, m);
  for (const auto& e : entries) out(static_cast<Eigen::Index>(e.row), static_cast<Eigen::Index>(e.col)) += e.value;
  return out;
}

}  // namespace

// Every derivative the record holds against a central difference of the system
// itself; T, R·Q·R' and the intercepts are polynomials of low degree in the
// parameters, so the difference is exact up to rounding.
TEST(SystemDerivatives, MatchFiniteDifferencesOfTheSystem) {
  const std::size_t n = 7;
  core::Columns x{{0.5, -1.0, 2.0, 0.0, 1.5, 3.0, -2.0}, {1, 2, 3, 4, 5, 6, 7}};
  struct Case {
    SarimaxConfig config;
    Vec theta;
  };
  const std::vector<Case> cases{
      {cfg({2, 1, 1, 0, 0, 0, 0}, Trend::ConstantLinear, 2), {0.5, 0.1, 1.2, -0.7, 0.4, -0.2, 0.3, 1.7}},
      {cfg({1, 0, 2, 1, 0, 1, 4}, Trend::Constant), {2.0, 0.3, 0.4, -0.2, 0.5, -0.6, 0.9}},
      {cfg({2, 0, 1, 2, 1, 1, 3}, Trend::Linear, 1, true), {0.05, -0.8, 0.2, 0.1, 0.6, 0.3, -0.25, 0.45}},
      {cfg({0, 1, 1, 0, 1, 1, 12}), {-0.4, -0.6, 0.0014}},
      {cfg({3, 0, 0, 0, 0, 0, 0}), {0.5, -0.3, 0.1, 2.0}},
  };
  for (const Case& c : cases) {
    const StateSpace ss0 = system(c.config, c.theta, n, &x);
    const SystemDerivatives d = derivs(c.config, c.theta, n, &x);
    ASSERT_EQ(d.n_params, c.theta.size());
    const auto m = static_cast<Eigen::Index>(ss0.k_states);
    for (std::size_t j = 0; j < c.theta.size(); ++j) {
      SCOPED_TRACE("parameter " + std::to_string(j));
      const double h = 1e-5;
      Vec up = c.theta, down = c.theta;
      up[j] += h;
      down[j] -= h;
      const StateSpace su = system(c.config, up, n, &x), sd = system(c.config, down, n, &x);
      const Eigen::MatrixXd dT = (su.transition - sd.transition) / (2 * h);
      EXPECT_LE((dense(d.dt_entries[j], m) - dT).cwiseAbs().maxCoeff(), 1e-9);
      const Eigen::MatrixXd dRQR = (rqr(su) - rqr(sd)) / (2 * h);
      if (d.drqr[j]) {
        EXPECT_LE((*d.drqr[j] - dRQR).cwiseAbs().maxCoeff(), 1e-9);
      } else {
        EXPECT_EQ(dRQR.cwiseAbs().maxCoeff(), 0.0);
      }
      for (std::size_t t = 0; t < n; ++t) {
        auto d_at = [t](const StateSpace& s) {
          return t < s.obs_intercept.size() ? s.obs_intercept[t] : 0.0;
        };
        const double dd = (d_at(su) - d_at(sd)) / (2 * h);
        const double got = t < d.dobs_intercept[j].size() ? d.dobs_intercept[j][t] : 0.0;
        EXPECT_NEAR(got, dd, 1e-9);
      }
      // The trend enters at row k_diff, one value per time, and so does its
      // derivative.
      ASSERT_EQ(su.state_intercept.size(), sd.state_intercept.size());
      for (std::size_t t = 0; t < su.state_intercept.size(); ++t) {
        const double dc = (su.state_intercept[t] - sd.state_intercept[t]) / (2 * h);
        const Vec& dc_j = d.dstate_intercept[j];
        EXPECT_NEAR(dc_j.empty() ? 0.0 : dc_j[t], dc, 1e-8);
      }
    }
  }
}

TEST(SystemDerivatives, Arima111WorkedExample) {
  const double phi = 0.5, theta = 0.3, s2 = 2.0;
  const SystemDerivatives d = derivs(cfg({1, 1, 1, 0, 0, 0, 0}), {phi, theta, s2}, 5);
  ASSERT_EQ(d.n_params, 3u);
  ASSERT_EQ(d.dt_entries[0].size(), 1u);
  EXPECT_EQ(d.dt_entries[0][0].row, 1u);
  EXPECT_EQ(d.dt_entries[0][0].col, 1u);
  EXPECT_EQ(d.dt_entries[0][0].value, 1.0);
  EXPECT_FALSE(d.drqr[0]);
  EXPECT_TRUE(d.dt_entries[1].empty());
  Eigen::MatrixXd expected_theta = Eigen::MatrixXd::Zero(3, 3);
  expected_theta(1, 2) = expected_theta(2, 1) = s2;
  expected_theta(2, 2) = s2 * 2 * theta;
  ASSERT_TRUE(d.drqr[1]);
  EXPECT_TRUE(d.drqr[1]->isApprox(expected_theta, 1e-15));
  Eigen::MatrixXd expected_s2 = Eigen::MatrixXd::Zero(3, 3);
  expected_s2(1, 1) = 1.0;
  expected_s2(1, 2) = expected_s2(2, 1) = theta;
  expected_s2(2, 2) = theta * theta;
  ASSERT_TRUE(d.drqr[2]);
  EXPECT_EQ(*d.drqr[2], expected_s2);
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_TRUE(d.dobs_intercept[j].empty());
    EXPECT_TRUE(d.dstate_intercept[j].empty());
  }
}

TEST(SystemDerivatives, SeasonalArCrossEntries) {
  const double phi = 0.4, Phi = 0.7;
  const SystemDerivatives d = derivs(cfg({1, 0, 0, 1, 0, 0, 4}), {phi, Phi, 1.0}, 3);
  ASSERT_EQ(d.dt_entries[0].size(), 2u);
  EXPECT_EQ(d.dt_entries[0][0].row, 0u);
  EXPECT_EQ(d.dt_entries[0][0].value, 1.0);
  EXPECT_EQ(d.dt_entries[0][1].row, 4u);
  EXPECT_EQ(d.dt_entries[0][1].col, 0u);
  EXPECT_EQ(d.dt_entries[0][1].value, -Phi);
  ASSERT_EQ(d.dt_entries[1].size(), 2u);
  EXPECT_EQ(d.dt_entries[1][0].row, 3u);
  EXPECT_EQ(d.dt_entries[1][0].value, 1.0);
  EXPECT_EQ(d.dt_entries[1][1].row, 4u);
  EXPECT_EQ(d.dt_entries[1][1].value, -phi);
}

TEST(SystemDerivatives, NegligibleCoefficientsDropTheirCrossEntries) {
  // The cut-off is strictly above 1e-15.
  for (const double Phi : {0.0, 1e-15, -1e-15}) {
    const SystemDerivatives d = derivs(cfg({1, 0, 0, 1, 0, 0, 4}), {0.4, Phi, 1.0}, 3);
    ASSERT_EQ(d.dt_entries[0].size(), 1u) << Phi;
    EXPECT_EQ(d.dt_entries[0][0].row, 0u);
  }
  const SystemDerivatives kept = derivs(cfg({1, 0, 0, 1, 0, 0, 4}), {0.4, 2e-15, 1.0}, 3);
  ASSERT_EQ(kept.dt_entries[0].size(), 2u);
  EXPECT_EQ(kept.dt_entries[0][1].value, -2e-15);
  // The same cut-off applies to the selection derivative of a seasonal MA.
  const SystemDerivatives ma = derivs(cfg({0, 0, 1, 0, 0, 1, 4}), {0.5, 1e-15, 1.0}, 3);
  ASSERT_TRUE(ma.drqr[0]);
  EXPECT_EQ((*ma.drqr[0])(5, 5), 0.0);
}

TEST(SystemDerivatives, EveryArListHoldsItsUnitEntry) {
  const SarimaxConfig c = cfg({3, 1, 0, 2, 1, 0, 4});  // k_diff = 5
  const SystemDerivatives d = derivs(c, {0.1, 0.2, 0.3, 0.4, 0.5, 1.0}, 2);
  auto holds = [](const std::vector<core::SparseTEntry>& list, std::size_t row) {
    for (const auto& e : list)
      if (e.row == row && e.col == 5 && e.value == 1.0) return true;
    return false;
  };
  for (std::size_t i = 1; i <= 3; ++i) EXPECT_TRUE(holds(d.dt_entries[i - 1], 5 + i - 1)) << i;
  for (std::size_t J = 1; J <= 2; ++J) EXPECT_TRUE(holds(d.dt_entries[3 + J - 1], 5 + J * 4 - 1)) << J;
  for (const auto& list : d.dt_entries) {
    for (std::size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1].row, list[i].row);
    for (const auto& e : list) EXPECT_GT(std::fabs(e.value), 1e-15);
  }
}

TEST(SystemDerivatives, NoFreeParameterGivesEmptyArrays) {
  const SystemDerivatives d = derivs(cfg({0, 0, 0, 0, 0, 0, 0}, Trend::None, 0, true), {}, 4);
  EXPECT_EQ(d.n_params, 0u);
  EXPECT_TRUE(d.dt_entries.empty());
  EXPECT_TRUE(d.drqr.empty());
  EXPECT_TRUE(d.dobs_intercept.empty());
  EXPECT_TRUE(d.dstate_intercept.empty());
}

TEST(SystemDerivatives, TrendDerivativesLieOnTheFirstArmaState) {
  // AR(2): m = 2, k_diff = 0.
  const SystemDerivatives lin = derivs(cfg({2, 0, 0, 0, 0, 0, 0}, Trend::Linear), {0.3, 0.1, 0.2, 1.0}, 3);
  EXPECT_EQ(lin.dstate_intercept[0], (Vec{0, 1, 2}));
  const SystemDerivatives both =
      derivs(cfg({2, 0, 0, 0, 0, 0, 0}, Trend::ConstantLinear), {1.0, 0.3, 0.1, 0.2, 1.0}, 3);
  EXPECT_EQ(both.dstate_intercept[0], (Vec{1, 1, 1}));
  EXPECT_EQ(both.dstate_intercept[1], (Vec{0, 1, 2}));
  const SystemDerivatives empty =
      derivs(cfg({2, 0, 0, 0, 0, 0, 0}, Trend::ConstantLinear), {1.0, 0.3, 0.1, 0.2, 1.0}, 0);
  EXPECT_TRUE(empty.dstate_intercept[0].empty());
  EXPECT_TRUE(empty.dstate_intercept[1].empty());
  // With differencing states too: one value per time.
  const SystemDerivatives diff = derivs(cfg({0, 2, 0, 0, 0, 0, 0}, Trend::Constant), {1.0, 1.0}, 2);
  EXPECT_EQ(diff.dstate_intercept[0], (Vec{1, 1}));
}

TEST(SystemDerivatives, RegressionWithoutColumnsStaysEmpty) {
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant, 2);
  const SystemDerivatives d = derivs(c, {1.0, 0.5, -0.5, 0.3, 1.0}, 4);
  EXPECT_FALSE(d.dstate_intercept[0].empty());
  EXPECT_TRUE(d.dobs_intercept[1].empty());
  EXPECT_TRUE(d.dobs_intercept[2].empty());
  ASSERT_EQ(d.dt_entries[3].size(), 1u);  // the AR coefficient keeps its position
  EXPECT_TRUE(d.drqr[4]);                 // and so does sigma2

  const core::Columns x{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 9, 9, 9}};
  const SystemDerivatives dx = derivs(c, {1.0, 0.5, -0.5, 0.3, 1.0}, 4, &x);
  // The caller's columns themselves, not copies.
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(dx.dobs_intercept[1 + i].data(), x[i].data());
    EXPECT_EQ(dx.dobs_intercept[1 + i].size(), x[i].size());
  }
}

TEST(SystemDerivatives, ConcentratedScaleDropsSigma2AndUsesUnitVariance) {
  const SystemDerivatives d = derivs(cfg({0, 0, 1, 0, 0, 0, 0}, Trend::None, 0, true), {0.6}, 3);
  ASSERT_EQ(d.n_params, 1u);
  ASSERT_TRUE(d.drqr[0]);
  Eigen::MatrixXd expected(2, 2);
  expected << 0.0, 1.0, 1.0, 1.2;
  EXPECT_TRUE(d.drqr[0]->isApprox(expected, 1e-15));
}

TEST(SystemDerivatives, MaDerivativesPresentEvenAtZeroVariance) {
  const SystemDerivatives d = derivs(cfg({0, 0, 1, 0, 0, 1, 2}), {0.3, 0.4, 0.0}, 3);
  ASSERT_TRUE(d.drqr[0]);
  ASSERT_TRUE(d.drqr[1]);
  EXPECT_TRUE(d.drqr[0]->isZero(0.0));
  EXPECT_TRUE(d.drqr[1]->isZero(0.0));
  ASSERT_TRUE(d.drqr[2]);
  EXPECT_FALSE(d.drqr[2]->isZero(0.0));
}

TEST(SystemDerivatives, ComputeDrqrIsTheSymmetricProductRule) {
  Eigen::MatrixXd R(3, 1);
  R << 1.0, 0.5, -0.25;
  const Vec dR{0.0, 1.0, 2.0};
  const Eigen::MatrixXd out = score::compute_drqr(dR, R, 3, 1.5);
  Eigen::Map<const Eigen::VectorXd> dr(dR.data(), 3);
  const Eigen::MatrixXd expected = 1.5 * (dr * R.col(0).transpose() + R.col(0) * dr.transpose());
  EXPECT_TRUE(out.isApprox(expected, 1e-15));
  EXPECT_EQ(out, out.transpose());
  EXPECT_THROW(score::compute_drqr(Vec{0.0, 1.0}, R, 3, 1.0), std::logic_error);
}

TEST(SystemDerivatives, RefusesInputsItWouldReadPast) {
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0}, Trend::None, 2);
  const Vec theta{0.5, -0.5, 0.3, 1.0};
  const core::Columns one{{1, 2, 3}};
  const StateSpace ss = system(c, theta, 3);
  const SarimaxParams p = *SarimaxParams::from_flat(theta, c);
  EXPECT_THROW(precompute_derivatives(c, p, ss, 3, &one), std::logic_error);
  // A system built for another model.
  const StateSpace other = system(cfg({2, 1, 0, 0, 0, 0, 0}), {0.1, 0.2, 1.0}, 3);
  EXPECT_THROW(precompute_derivatives(c, p, other, 3, nullptr), std::logic_error);
}
