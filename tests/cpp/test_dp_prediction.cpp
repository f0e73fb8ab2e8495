#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "peltaro/core/kalman/covariance_kernel.hpp"
#include "peltaro/score/dp_prediction.hpp"

using namespace peltaro;
using core::SparseT;
using core::SparseTEntry;

namespace {

Eigen::MatrixXd random_symmetric(Eigen::Index m, std::mt19937_64& rng) {
  std::normal_distribution<double> N;
  Eigen::MatrixXd A(m, m);
  for (Eigen::Index i = 0; i < A.size(); ++i) A.data()[i] = N(rng);
  return A * A.transpose() + Eigen::MatrixXd::Identity(m, m);
}

Eigen::MatrixXd dense(const std::vector<SparseTEntry>& entries, Eigen::Index m) {
  Eigen::MatrixXd out = Eigen::MatrixXd::Zero(m, m);
  for (const auto& e : entries) out(static_cast<Eigen::Index>(e.row), static_cast<Eigen::Index>(e.col)) = e.value;
  return out;
}

// A transition matrix shaped like a SARIMAX one: a coefficient column, a
// shifted identity and a differencing corner.
Eigen::MatrixXd sarimax_like_t(Eigen::Index m, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> U(-0.5, 0.5);
  Eigen::MatrixXd T = Eigen::MatrixXd::Zero(m, m);
  T(0, 0) = 1.0;
  if (m == 1) return T;
  T(0, 1) = 1.0;
  for (Eigen::Index i = 1; i < m; ++i) T(i, 1) = U(rng);
  for (Eigen::Index i = 1; i + 1 < m; ++i) T(i, i + 1) = 1.0;
  return T;
}

// dP_next by the kernel from the covariance P − g·g'·f (P when g is null);
// the output starts as garbage on purpose.
Eigen::MatrixXd predict(const std::vector<SparseTEntry>& dT, const Eigen::MatrixXd* dRQR,
                        const Eigen::MatrixXd& T, const Eigen::MatrixXd& P,
                        const Eigen::MatrixXd& dP, const score::StepUpdate* update = nullptr) {
  const auto m = T.rows();
  const SparseT st = SparseT::from_dense(T, static_cast<std::size_t>(m));
  const core::CovarianceKernel kernel(st, Eigen::MatrixXd::Zero(m, m));
  core::CovarianceWorkspace ws(m);
  Eigen::MatrixXd out = Eigen::MatrixXd::Constant(m, m, std::numeric_limits<double>::quiet_NaN());
  score::predict_dp(kernel, dT, dRQR, core::StateCovariance(P), dP, update, out, ws);
  return out;
}

}  // namespace

TEST(DpPrediction, MatchesTheProductRuleInBothForms) {
  std::mt19937_64 rng(3);
  for (const Eigen::Index m : {1, 2, 5, 13}) {
    const Eigen::MatrixXd T = sarimax_like_t(m, rng);
    const Eigen::MatrixXd P = random_symmetric(m, rng);
    const Eigen::MatrixXd dP = random_symmetric(m, rng) - 2.0 * Eigen::MatrixXd::Identity(m, m);
    const Eigen::MatrixXd dRQR = random_symmetric(m, rng);
    std::vector<SparseTEntry> dT{{0, 0, 0.7}};
    if (m > 2) dT.push_back({2, 1, -1.3});
    const Eigen::MatrixXd dTd = dense(dT, m);
    const Eigen::MatrixXd expected = dRQR + T * dP * T.transpose() + dTd * P * T.transpose() +
                                     T * P * dTd.transpose();
    const Eigen::MatrixXd got = predict(dT, &dRQR, T, P, dP);
    EXPECT_LE((got - expected).cwiseAbs().maxCoeff(), 1e-12 * expected.cwiseAbs().maxCoeff())
        << "m=" << m;
    EXPECT_EQ(got, got.transpose()) << "m=" << m;
  }
}

TEST(DpPrediction, WithoutDtOrDrqrOnlyPropagatesDp) {
  std::mt19937_64 rng(5);
  const Eigen::MatrixXd T = sarimax_like_t(4, rng);
  const Eigen::MatrixXd P = random_symmetric(4, rng);
  const Eigen::MatrixXd dP = random_symmetric(4, rng);
  EXPECT_TRUE(predict({}, nullptr, T, P, dP).isApprox(T * dP * T.transpose(), 1e-14));
  EXPECT_TRUE(predict({}, nullptr, T, P, Eigen::MatrixXd::Zero(4, 4)).isZero(0.0));
}

TEST(DpPrediction, ZeroDpWithDrqrGivesDrqrExactly) {
  std::mt19937_64 rng(6);
  const Eigen::MatrixXd T = sarimax_like_t(4, rng);
  const Eigen::MatrixXd P = random_symmetric(4, rng);
  const Eigen::MatrixXd dRQR = random_symmetric(4, rng);
  EXPECT_EQ(predict({}, &dRQR, T, P, Eigen::MatrixXd::Zero(4, 4)), dRQR);
}

TEST(DpPrediction, ZeroTransitionLeavesOnlyDrqr) {
  std::mt19937_64 rng(7);
  const Eigen::MatrixXd T = Eigen::MatrixXd::Zero(3, 3);
  const Eigen::MatrixXd P = random_symmetric(3, rng);
  const Eigen::MatrixXd dP = random_symmetric(3, rng);
  const Eigen::MatrixXd dRQR = random_symmetric(3, rng);
  EXPECT_EQ(predict({}, &dRQR, T, P, dP), dRQR);
  EXPECT_TRUE(predict({}, nullptr, T, P, dP).isZero(0.0));
}

TEST(DpPrediction, Ar1ClosedForm) {
  const double phi = 0.6, p = 2.5, dp = -0.4;
  Eigen::MatrixXd T(1, 1), P(1, 1), dP(1, 1);
  T << phi;
  P << p;
  dP << dp;
  const std::vector<SparseTEntry> dT{{0, 0, 1.0}};
  EXPECT_DOUBLE_EQ(predict(dT, nullptr, T, P, dP)(0, 0), phi * phi * dp + 2 * phi * p);
}

TEST(DpPrediction, FoldsInTheUpdateAndItsDerivative) {
  std::mt19937_64 rng(8);
  const Eigen::MatrixXd T = sarimax_like_t(6, rng);
  const Eigen::MatrixXd P = random_symmetric(6, rng);
  const Eigen::MatrixXd dP = random_symmetric(6, rng);
  const Eigen::MatrixXd dRQR = random_symmetric(6, rng);
  const Eigen::VectorXd g = Eigen::VectorXd::LinSpaced(6, -1.0, 2.0);
  const double f = 0.3;
  const std::vector<SparseTEntry> dT{{0, 1, 1.0}, {3, 1, 0.25}, {4, 2, -0.5}};
  const Eigen::VectorXd p = Eigen::VectorXd::LinSpaced(6, 0.5, -0.7);
  const Eigen::MatrixXd updated = P - g * g.transpose() * f;
  const Eigen::MatrixXd d_updated = dP + g * p.transpose() + p * g.transpose();
  const score::StepUpdate update{g, f, p};
  const Eigen::MatrixXd got = predict(dT, &dRQR, T, P, dP, &update);
  EXPECT_TRUE(got.isApprox(predict(dT, &dRQR, T, updated, d_updated), 1e-14));
  EXPECT_EQ(got, got.transpose());
  // Of P only the lower triangle is read: a recursion may leave the upper stale.
  Eigen::MatrixXd lower = P;
  lower.triangularView<Eigen::StrictlyUpper>().setConstant(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(predict(dT, &dRQR, T, lower, dP, &update), got);
}
