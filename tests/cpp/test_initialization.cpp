#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "peltaro/core/initialization.hpp"

using namespace peltaro::core;

namespace {

StateSpace build(const SarimaxConfig& c, const SarimaxParams& p, std::size_t n = 4) {
  const Vec y(n, 0.0);
  return *StateSpace::create(c, p, y, nullptr);
}

SarimaxConfig config(SarimaxOrder o, bool stationary = true) {
  SarimaxConfig c;
  c.order = o;
  c.enforce_stationarity = stationary;
  return c;
}

// The doubling with the three dense products per iteration, as the general
// path forms it, for comparison with the paths that avoid them.
std::optional<Eigen::MatrixXd> doubling_by_products(const Eigen::MatrixXd& A,
                                                    const Eigen::MatrixXd& Q) {
  Eigen::MatrixXd Ak = A, X = Q;
  for (int iter = 1; iter <= 100; ++iter) {
    Eigen::MatrixXd X_new = X;
    X_new.noalias() += (Ak * X) * Ak.transpose();
    Ak = (Ak * Ak).eval();
    if (!X_new.allFinite()) return std::nullopt;
    const double diff = (X_new - X).norm();
    if (diff < 1e-14 * X.norm() || diff == 0.0) return X_new;
    X = X_new;
  }
  return std::nullopt;
}

}  // namespace

TEST(KalmanInit, DiffuseWhenStationarityIsNotEnforced) {
  SarimaxParams p;
  p.ar = {0.5};
  p.ma = {0.3};
  p.sigma2 = 1.0;
  const auto c = config({1, 1, 1, 0, 0, 0, 0}, false);
  const auto init = KalmanInit::from_config_default(build(c, p), c);
  EXPECT_EQ(init.burn, 3u);
  EXPECT_FALSE(init.stationary_block.has_value());
  EXPECT_EQ(init.p0, 1e6 * Eigen::MatrixXd::Identity(3, 3));
  EXPECT_TRUE(init.a0.isZero(0.0));
}

TEST(KalmanInit, Arima111StationaryBlockHasTheClosedFormCovariance) {
  SarimaxParams p;
  p.ar = {0.5};
  p.ma = {0.3};
  p.sigma2 = 1.0;
  const auto c = config({1, 1, 1, 0, 0, 0, 0});
  const auto init = KalmanInit::from_config_default(build(c, p), c);
  ASSERT_TRUE(init.stationary_block.has_value());
  EXPECT_EQ(*init.stationary_block, std::make_pair(std::size_t{1}, std::size_t{2}));
  EXPECT_EQ(init.burn, 1u);
  const double g0 = (1 + 2 * 0.5 * 0.3 + 0.3 * 0.3) / (1 - 0.25);
  EXPECT_EQ(init.p0(0, 0), 1e6);
  EXPECT_NEAR(init.p0(1, 1), g0, 1e-15);
  EXPECT_NEAR(init.p0(1, 2), 0.3, 1e-15);
  EXPECT_NEAR(init.p0(2, 1), 0.3, 1e-15);
  EXPECT_NEAR(init.p0(2, 2), 0.09, 1e-15);
  EXPECT_EQ(init.p0(0, 1), 0.0);
  EXPECT_TRUE(init.a0.isZero(0.0));
}

TEST(KalmanInit, SingularBlockGetsAccumulatedJitter) {
  SarimaxParams p;
  p.ar = {0.0, 0.0};
  p.sigma2 = 1.0;
  const auto c = config({2, 0, 0, 0, 0, 0, 0});
  const auto init = KalmanInit::from_config_default(build(c, p), c);
  ASSERT_TRUE(init.stationary_block.has_value());
  EXPECT_EQ(init.burn, 0u);
  EXPECT_EQ(init.p0(0, 0), 1.0 + 1e-12);
  EXPECT_EQ(init.p0(1, 1), 1e-12);
}

TEST(KalmanInit, UnitRootAndNanFallBackToDiffuse) {
  SarimaxParams p;
  p.ar = {1.0};
  p.sigma2 = 1.0;
  const auto c = config({1, 0, 0, 0, 0, 0, 0});
  const auto unit = KalmanInit::from_config_default(build(c, p), c);
  EXPECT_EQ(unit.burn, 1u);
  EXPECT_FALSE(unit.stationary_block.has_value());
  EXPECT_EQ(unit.p0(0, 0), 1e6);

  p.ar = {std::numeric_limits<double>::quiet_NaN()};
  const auto nan = KalmanInit::from_config_default(build(c, p), c);
  EXPECT_EQ(nan.burn, 1u);
  EXPECT_FALSE(nan.stationary_block.has_value());
}

TEST(KalmanInit, StationaryBlockStartsAtItsMean) {
  // AR(2) with a constant: μ1 = c / (1 − φ1 − φ2) on the first state and
  // μ2 = −φ2·μ1 + … follows from (I − T)·μ = (c, 0).
  SarimaxConfig c = config({2, 0, 0, 0, 0, 0, 0});
  c.trend = Trend::Constant;
  SarimaxParams p;
  p.trend = {2.0};
  p.ar = {0.5, 0.3};
  p.sigma2 = 1.0;
  const auto ss = build(c, p);
  const auto init = KalmanInit::from_config_default(ss, c);
  const double mu = 2.0 / (1.0 - 0.5 - 0.3);
  EXPECT_NEAR(init.a0[0], mu, 1e-13);
  // Second state carries φ2·μ_{t−1}: μ2 = φ2·μ.
  EXPECT_NEAR(init.a0[1], 0.3 * mu, 1e-13);
  const Eigen::VectorXd resid =
      (Eigen::MatrixXd::Identity(2, 2) - ss.transition) * init.a0 - Eigen::Vector2d(2.0, 0.0);
  EXPECT_LT(resid.norm(), 1e-13);

  // A linear trend is zero at t = 0: the mean stays zero.
  c.trend = Trend::Linear;
  const auto lin = KalmanInit::from_config_default(build(c, p), c);
  EXPECT_TRUE(lin.a0.isZero(0.0));

  // Differencing states keep mean zero; the block mean sits below them.
  SarimaxConfig cd = config({1, 1, 0, 0, 0, 0, 0});
  cd.trend = Trend::Constant;
  SarimaxParams pd;
  pd.trend = {1.0};
  pd.ar = {0.5};
  pd.sigma2 = 1.0;
  const auto initd = KalmanInit::from_config_default(build(cd, pd), cd);
  EXPECT_EQ(initd.a0[0], 0.0);
  EXPECT_NEAR(initd.a0[1], 2.0, 1e-14);

  // Without a stationary block the mean stays zero.
  cd.enforce_stationarity = false;
  EXPECT_TRUE(KalmanInit::from_config_default(build(cd, pd), cd).a0.isZero(0.0));
}

TEST(Lyapunov, DoublingEdgeCases) {
  const auto empty = lyapunov_doubling(Eigen::MatrixXd(0, 0), Eigen::MatrixXd(0, 0));
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->size(), 0);

  Eigen::MatrixXd Q(2, 2);
  Q << 2, 0.5, 0.5, 1;
  const auto zero = lyapunov_doubling(Eigen::MatrixXd::Zero(2, 2), Q);
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(*zero, Q);

  // Against the vectorised closed form (I − A⊗A)·vec X = vec Q.
  Eigen::MatrixXd A(2, 2);
  A << 0.6, 0.2, -0.3, 0.4;
  const auto X = solve_lyapunov_general(A, Q);
  ASSERT_TRUE(X.has_value());
  Eigen::MatrixXd K(4, 4);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) K.block(2 * i, 2 * j, 2, 2) = A(i, j) * A;
  const Eigen::VectorXd vecx =
      (Eigen::MatrixXd::Identity(4, 4) - K).fullPivLu().solve(Eigen::Map<const Eigen::VectorXd>(Q.data(), 4));
  EXPECT_LT((Eigen::Map<const Eigen::MatrixXd>(vecx.data(), 2, 2) - *X).norm(), 1e-13);

  Eigen::MatrixXd unstable(1, 1);
  unstable << 1.01;
  EXPECT_FALSE(lyapunov_doubling(unstable, Eigen::MatrixXd::Ones(1, 1)).has_value());
}

TEST(Lyapunov, ShiftBlocksGiveTheDoublingsSumsExactly) {
  // The block of an ARMA model without AR terms. In the last case the
  // states from the fourth on carry so little that the doubling stops while
  // the shift is still inside the block.
  struct Case {
    Eigen::Index n;
    double tail;
    Eigen::Index tail_from;
  };
  for (const Case c : {Case{1, 1.0, 1}, Case{2, 1.0, 2}, Case{5, 1.0, 5}, Case{14, 1.0, 14},
                       Case{27, 1.0, 27}, Case{27, 1e-9, 3}}) {
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(c.n, c.n);
    for (Eigen::Index i = 0; i + 1 < c.n; ++i) A(i, i + 1) = 1.0;
    Eigen::VectorXd r(c.n);
    for (Eigen::Index i = 0; i < c.n; ++i) r[i] = (i < c.tail_from ? 1.0 : c.tail) * std::cos(1.0 + i);
    const Eigen::MatrixXd Q = (r * 1.3) * r.transpose();
    const auto fast = lyapunov_doubling(A, Q);
    const auto slow = doubling_by_products(A, Q);
    ASSERT_TRUE(fast.has_value() && slow.has_value()) << c.n;
    EXPECT_TRUE(fast->cwiseEqual(*slow).all()) << c.n << " tail " << c.tail;
  }
  Eigen::MatrixXd A = Eigen::MatrixXd::Zero(3, 3);
  A(0, 1) = A(1, 2) = 1.0;
  Eigen::MatrixXd Q = Eigen::MatrixXd::Identity(3, 3);
  Q(2, 2) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(lyapunov_doubling(A, Q).has_value());
}

TEST(Lyapunov, CompanionBlocksSolveTheEquationOrFallBackToTheDoubling) {
  // Companion blocks: φ in the first column, ones on the superdiagonal. The
  // structured solve must satisfy the equation to rounding; blocks at or
  // near the unit circle go to the doubling, which decides them unchanged.
  struct Case {
    const char* name;
    std::vector<double> phi;  // padded with zeros to the block size
    Eigen::Index n;
    bool structured;  // false: the doubling's result, bit for bit
  };
  const Case cases[] = {
      {"AR(1)", {0.6}, 1, true},
      {"ARMA(2,3)", {0.5, -0.3}, 4, true},
      {"seasonal AR", {0.4, 0, 0, 0.3, -0.12}, 6, true},
      {"AR(3) near the unit circle", {0.995 + 0.3, -0.3 * 0.995, 0.0}, 3, false},
      {"unit root", {1.0}, 2, false},
      {"explosive", {1.2, -0.1}, 2, false},
  };
  for (const Case& c : cases) {
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(c.n, c.n);
    for (std::size_t i = 0; i < c.phi.size(); ++i) A(static_cast<Eigen::Index>(i), 0) = c.phi[i];
    for (Eigen::Index i = 0; i + 1 < c.n; ++i) A(i, i + 1) = 1.0;
    Eigen::VectorXd r(c.n);
    for (Eigen::Index i = 0; i < c.n; ++i) r[i] = i == 0 ? 1.0 : 0.4 / static_cast<double>(i);
    const Eigen::MatrixXd Q = (r * 0.8) * r.transpose();
    const auto got = stationary_covariance(A, Q);
    const auto doubling = solve_lyapunov_general(A, Q);
    ASSERT_EQ(got.has_value(), doubling.has_value()) << c.name;
    if (!got) continue;
    EXPECT_TRUE(got->cwiseEqual(got->transpose()).all()) << c.name;
    const Eigen::MatrixXd residual = A * *got * A.transpose() + Q - *got;
    EXPECT_LT(residual.norm(), 1e-15 * got->norm()) << c.name;
    if (!c.structured) {
      EXPECT_TRUE(got->cwiseEqual(*doubling).all()) << c.name;
    }
    EXPECT_LT((*got - *doubling).norm(), 1e-13 * doubling->norm()) << c.name;
  }
}

TEST(KalmanInit, TwiceDifferencedModelsKeepTheDoublingsBlockBitForBit) {
  // Behind two regular differences the block's last bits reach the
  // likelihood amplified, so there it stays the doubling's.
  SarimaxParams p;
  p.ar = {0.5, -0.2};
  p.ma = {0.3};
  p.seasonal_ar = {0.4};
  p.sigma2 = 1.3;
  for (const SarimaxOrder o : {SarimaxOrder{2, 2, 1, 1, 1, 0, 4}, SarimaxOrder{2, 2, 1, 1, 0, 0, 4}}) {
    const SarimaxConfig c = config(o);
    const StateSpace ss = build(c, p);
    const auto init = KalmanInit::from_config_default(ss, c);
    const auto kd = static_cast<Eigen::Index>(c.k_diff());
    const auto ka = static_cast<Eigen::Index>(c.k_arma());
    const Eigen::MatrixXd Ra = ss.selection.middleRows(kd, ka);
    const auto S = solve_lyapunov_general(ss.transition.block(kd, kd, ka, ka),
                                          (Ra * ss.state_cov) * Ra.transpose());
    ASSERT_TRUE(S.has_value());
    EXPECT_TRUE(init.p0.block(kd, kd, ka, ka).cwiseEqual(*S).all()) << o.d << " " << o.D;
  }
}

TEST(Lyapunov, CholeskyTestRejectsZeroNegativeAndNanPivots) {
  Eigen::MatrixXd M(2, 2);
  M << 4, 2, 2, 3;
  EXPECT_TRUE(cholesky_test(M));
  M << 1, 1, 1, 1;
  EXPECT_FALSE(cholesky_test(M));
  M << -1, 0, 0, 1;
  EXPECT_FALSE(cholesky_test(M));
  M << std::numeric_limits<double>::quiet_NaN(), 0, 0, 1;
  EXPECT_FALSE(cholesky_test(M));
}
