#include "peltaro/core/initialization.hpp"

#include <cmath>

namespace peltaro::core {

KalmanInit KalmanInit::approximate_diffuse(std::size_t k) {
  KalmanInit init;
  const auto kk = static_cast<Eigen::Index>(k);
  init.a0 = Eigen::VectorXd::Zero(kk);
  init.p0 = DIFFUSE_VARIANCE * Eigen::MatrixXd::Identity(kk, kk);
  init.burn = k;
  return init;
}

bool cholesky_test(const Eigen::MatrixXd& M) {
  const Eigen::Index n = M.rows();
  Eigen::MatrixXd L = Eigen::MatrixXd::Zero(n, n);
  for (Eigen::Index j = 0; j < n; ++j) {
    double pivot = M(j, j);
    for (Eigen::Index k = 0; k < j; ++k) pivot -= L(j, k) * L(j, k);
    if (!(pivot > 0.0)) return false;
    const double ljj = std::sqrt(pivot);
    L(j, j) = ljj;
    for (Eigen::Index i = j + 1; i < n; ++i) {
      double v = M(i, j);
      for (Eigen::Index k = 0; k < j; ++k) v -= L(i, k) * L(j, k);
      L(i, j) = v / ljj;
    }
  }
  return true;
}

namespace {

// Ones on the superdiagonal and zeros elsewhere: the transition of an ARMA
// block without AR terms.
bool is_shift(const Eigen::MatrixXd& A) {
  const Eigen::Index n = A.rows();
  for (Eigen::Index j = 0; j < n; ++j) {
    for (Eigen::Index i = 0; i < n; ++i) {
      if (A(i, j) != (i + 1 == j ? 1.0 : 0.0)) return false;
    }
  }
  return true;
}

// The doubling for A a shift. A^s·X·A'^s is X moved s places down the
// diagonal, and the products form it exactly (one term of 1·x among zeros),
// so each iterate is X plus X shifted: the same sums, in the same order,
// without the three products per iteration. X then settles after
// ⌈log2 n⌉ iterations, into the finite sum Σ_j A^j·Q·A'^j.
std::optional<Eigen::MatrixXd> shift_doubling(const Eigen::MatrixXd& Q) {
  const Eigen::Index n = Q.rows();
  Eigen::MatrixXd X = Q;
  Eigen::MatrixXd X_new(n, n);
  Eigen::Index s = 1;
  for (int iter = 1; iter <= 100; ++iter) {
    for (Eigen::Index l = 0; l < n; ++l) {
      for (Eigen::Index i = 0; i < n; ++i) {
        X_new(i, l) = X(i, l) + (i + s < n && l + s < n ? X(i + s, l + s) : 0.0);
      }
    }
    if (!X_new.allFinite()) return std::nullopt;
    const double diff = (X_new - X).norm();
    double xnorm = X.norm();
    if (std::isnan(xnorm)) xnorm = 1.0;
    if (diff < 1e-14 * std::fmax(xnorm, 1.0)) return X_new;
    X.swap(X_new);
    s = s < n ? 2 * s : n;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Eigen::MatrixXd> lyapunov_doubling(const Eigen::MatrixXd& A, const Eigen::MatrixXd& Q) {
  const Eigen::Index n = A.rows();
  if (n == 0) return Eigen::MatrixXd(0, 0);
  if (is_shift(A)) return shift_doubling(Q);
  Eigen::MatrixXd Ak = A;
  Eigen::MatrixXd X = Q;
  Eigen::MatrixXd AX(n, n), X_new(n, n), Ak2(n, n);
  for (int iter = 1; iter <= 100; ++iter) {
    AX.noalias() = Ak * X;
    X_new = X;
    X_new.noalias() += AX * Ak.transpose();
    Ak2.noalias() = Ak * Ak;
    Ak.swap(Ak2);
    // Once an entry has overflowed or turned NaN no later iterate is finite
    // again, so the answer is already known to be absent; stopping here spares
    // up to a hundred large products on an explosive or NaN system.
    if (!X_new.allFinite()) return std::nullopt;
    const double diff = (X_new - X).norm();
    double xnorm = X.norm();
    if (std::isnan(xnorm)) xnorm = 1.0;
    const double tol = 1e-14 * std::fmax(xnorm, 1.0);
    if (diff < tol) {
      if (!X_new.allFinite()) return std::nullopt;
      return X_new;
    }
    X.swap(X_new);
  }
  return std::nullopt;
}

std::optional<Eigen::MatrixXd> solve_lyapunov_general(const Eigen::MatrixXd& A,
                                                      const Eigen::MatrixXd& Q) {
  auto X = lyapunov_doubling(A, Q);
  if (!X) return std::nullopt;
  Eigen::MatrixXd S = 0.5 * (*X + X->transpose());
  return S;
}

std::optional<Eigen::VectorXd> stationary_mean(const Eigen::MatrixXd& T_b, const Eigen::VectorXd& c_b) {
  const Eigen::Index n = T_b.rows();
  if (n == 0 || c_b.isZero(0.0)) return Eigen::VectorXd::Zero(n);
  const Eigen::MatrixXd A = Eigen::MatrixXd::Identity(n, n) - T_b;
  Eigen::FullPivLU<Eigen::MatrixXd> lu(A);
  lu.setThreshold(0.0);
  if (!lu.isInvertible()) return std::nullopt;
  Eigen::VectorXd mu = lu.solve(c_b);
  if (!mu.allFinite()) return std::nullopt;
  return mu;
}

KalmanInit KalmanInit::from_config_default(const StateSpace& ss, const SarimaxConfig& config) {
  const std::size_t k = ss.k_states;
  if (!config.enforce_stationarity) return approximate_diffuse(k);
  const std::size_t k_diff = config.k_diff();
  const std::size_t k_arma = config.k_arma();
  if (!(k_diff < k && k_arma != 0)) return approximate_diffuse(k);

  const auto kd = static_cast<Eigen::Index>(k_diff);
  const auto ka = static_cast<Eigen::Index>(k_arma);
  const Eigen::MatrixXd Ta = ss.transition.block(kd, kd, ka, ka);
  const Eigen::MatrixXd Ra = ss.selection.middleRows(kd, ka);
  const Eigen::MatrixXd V = (Ra * ss.state_cov) * Ra.transpose();

  auto S = solve_lyapunov_general(Ta, V);
  if (!S) return approximate_diffuse(k);

  Eigen::MatrixXd B;
  if (cholesky_test(*S)) {
    B = std::move(*S);
  } else {
    double scale = 1.0;
    for (Eigen::Index i = 0; i < ka; ++i) scale = std::fmax(scale, std::fabs((*S)(i, i)));
    const double unit = scale * 1e-12;
    Eigen::MatrixXd J = *S;
    bool ok = false;
    double multiplier = 1.0;
    // The jitter accumulates across attempts: J is not reset to S.
    for (int attempt = 0; attempt < 8; ++attempt, multiplier *= 10.0) {
      for (Eigen::Index i = 0; i < ka; ++i) J(i, i) += unit * multiplier;
      if (cholesky_test(J)) {
        ok = true;
        break;
      }
    }
    if (!ok) return approximate_diffuse(k);
    B = std::move(J);
  }

  // The block starts at its unconditional mean, not at zero: with a constant
  // in the state intercept a zero start would judge every series with a
  // level as if it began at 0. Differencing states keep mean 0.
  Eigen::VectorXd mu = Eigen::VectorXd::Zero(ka);
  if (ss.state_intercept.size() >= k) {
    Eigen::VectorXd c_b(ka);
    for (Eigen::Index i = 0; i < ka; ++i) c_b(i) = ss.state_intercept[k_diff + static_cast<std::size_t>(i)];
    auto m = stationary_mean(Ta, c_b);
    if (!m) return approximate_diffuse(k);
    mu = std::move(*m);
  }

  KalmanInit init;
  const auto kk = static_cast<Eigen::Index>(k);
  init.p0 = Eigen::MatrixXd::Zero(kk, kk);
  for (Eigen::Index i = 0; i < kd; ++i) init.p0(i, i) = DIFFUSE_VARIANCE;
  init.p0.block(kd, kd, ka, ka) = B;
  init.a0 = Eigen::VectorXd::Zero(kk);
  init.a0.segment(kd, ka) = mu;
  init.stationary_block = std::make_pair(k_diff, k_arma);
  init.burn = k_diff;
  return init;
}

}  // namespace peltaro::core
