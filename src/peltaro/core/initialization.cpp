#include "peltaro/core/initialization.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace peltaro::core {

KalmanInit KalmanInit::approximate_diffuse(std::size_t k, double variance) {
  KalmanInit init;
  const auto kk = static_cast<Eigen::Index>(k);
  init.a0 = Eigen::VectorXd::Zero(kk);
  init.p0 = variance * Eigen::MatrixXd::Identity(kk, kk);
  init.burn = k;
  return init;
}

bool cholesky_test(const Eigen::MatrixXd& M) {
  // L by rows, so that each sum over k runs along two contiguous rows.
  const auto n = static_cast<std::size_t>(M.rows());
  std::vector<double> L(n * n);
  for (std::size_t j = 0; j < n; ++j) {
    const double* lj = L.data() + j * n;
    double pivot = M(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(j));
    for (std::size_t k = 0; k < j; ++k) pivot -= lj[k] * lj[k];
    if (!(pivot > 0.0)) return false;
    const double ljj = std::sqrt(pivot);
    L[j * n + j] = ljj;
    const double* mj = M.col(static_cast<Eigen::Index>(j)).data();
    for (std::size_t i = j + 1; i < n; ++i) {
      double* li = L.data() + i * n;
      double v = mj[i];
      for (std::size_t k = 0; k < j; ++k) v -= li[k] * lj[k];
      li[j] = v / ljj;
    }
  }
  return true;
}

namespace {

// Whether a doubling step that moved X by `diff` (Frobenius) has settled. The
// test is relative to X alone, as X is proportional to Q: the units of the
// series must not decide when the sum stops. X = 0 (Q = 0) is settled at once.
bool settled(double diff, double xnorm) { return diff < 1e-14 * xnorm || diff == 0.0; }

// The solutions X of X = A·X·A' + Q are proportional to Q. Where Q's largest
// entry is so far from 1 that the solvers' sums of squares (or products of
// entries) would leave the range of doubles, `solve` is given Q scaled by a
// power of two and its X is scaled back: the same X, as scaling a normal
// number by a power of two rounds nothing. Elsewhere Q goes to `solve` as
// it is.
template <class Solve>
std::optional<Eigen::MatrixXd> in_representable_units(const Eigen::MatrixXd& Q, Solve&& solve) {
  double largest = 0.0;
  for (const double q : Q.reshaped()) largest = std::fmax(largest, std::fabs(q));
  const int e = largest > 0.0 && std::isfinite(largest) ? std::ilogb(largest) : 0;
  if (e >= -300 && e <= 300) return solve(Q);
  auto X = solve(Q.unaryExpr([e](double q) { return std::scalbn(q, -e); }));
  if (!X) return std::nullopt;
  Eigen::MatrixXd back = X->unaryExpr([e](double x) { return std::scalbn(x, e); });
  if (!back.allFinite()) return std::nullopt;
  return back;
}

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
    // Past the last diagonal every shifted term is zero: the iterate is X
    // plus zeros, which the test below would accept at once.
    if (s >= n) {
      X_new = X.array() + 0.0;
      // An iterate that passed the test below is finite already.
      if (iter == 1 && !X_new.allFinite()) return std::nullopt;
      return X_new;
    }
    // The change and X's norm are summed in the same sweep, two partial sums
    // each; only the decision depends on them.
    double d0 = 0.0, d1 = 0.0, x0 = 0.0, x1 = 0.0;
    for (Eigen::Index l = 0; l < n; ++l) {
      const double* x = X.col(l).data();
      const double* shifted = l + s < n ? X.col(l + s).data() + s : nullptr;
      double* out = X_new.col(l).data();
      const Eigen::Index reach = shifted != nullptr ? n - s : 0;
      for (Eigen::Index i = 0; i < reach; ++i) out[i] = x[i] + shifted[i];
      for (Eigen::Index i = reach; i < n; ++i) out[i] = x[i] + 0.0;
      Eigen::Index i = 0;
      for (; i + 2 <= n; i += 2) {
        const double da = out[i] - x[i];
        const double db = out[i + 1] - x[i + 1];
        d0 += da * da;
        d1 += db * db;
        x0 += x[i] * x[i];
        x1 += x[i + 1] * x[i + 1];
      }
      if (i < n) {
        const double d = out[i] - x[i];
        d0 += d * d;
        x0 += x[i] * x[i];
      }
    }
    double diff = d0 + d1;
    double xnorm = x0 + x1;
    // A non-finite entry of X or of the iterate makes the change non-finite;
    // a change whose square merely overflowed is told apart here.
    if (!std::isfinite(diff) && !X_new.allFinite()) return std::nullopt;
    diff = std::sqrt(diff);
    xnorm = std::sqrt(xnorm);
    if (std::isnan(xnorm)) xnorm = 1.0;
    if (settled(diff, xnorm)) return X_new;
    X.swap(X_new);
    s = 2 * s;
  }
  return std::nullopt;
}

std::optional<Eigen::MatrixXd> general_doubling(const Eigen::MatrixXd& A,
                                                const Eigen::MatrixXd& Q) {
  const Eigen::Index n = A.rows();
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
    if (settled(diff, xnorm)) {
      if (!X_new.allFinite()) return std::nullopt;
      return X_new;
    }
    X.swap(X_new);
  }
  return std::nullopt;
}

}  // namespace

std::optional<Eigen::MatrixXd> lyapunov_doubling(const Eigen::MatrixXd& A, const Eigen::MatrixXd& Q) {
  if (A.rows() == 0) return Eigen::MatrixXd(0, 0);
  const bool shift = is_shift(A);
  return in_representable_units(Q, [&](const Eigen::MatrixXd& Qs) {
    return shift ? shift_doubling(Qs) : general_doubling(A, Qs);
  });
}

std::optional<Eigen::MatrixXd> solve_lyapunov_general(const Eigen::MatrixXd& A,
                                                      const Eigen::MatrixXd& Q) {
  auto X = lyapunov_doubling(A, Q);
  if (!X) return std::nullopt;
  Eigen::MatrixXd S = 0.5 * (*X + X->transpose());
  return S;
}

namespace {

// φ_1 … φ_n of a companion block (first column φ, ones on the superdiagonal,
// zeros elsewhere), absent for any other A.
std::optional<Eigen::VectorXd> companion_column(const Eigen::MatrixXd& A) {
  const Eigen::Index n = A.rows();
  for (Eigen::Index j = 1; j < n; ++j) {
    for (Eigen::Index i = 0; i < n; ++i) {
      if (A(i, j) != (i + 1 == j ? 1.0 : 0.0)) return std::nullopt;
    }
  }
  Eigen::VectorXd phi = A.col(0);
  if (!phi.allFinite()) return std::nullopt;
  return phi;
}

// Whether every root of 1 − φ_1·z − … − φ_n·z^n lies outside the unit
// circle with room to spare: the step-down recursion turns φ into partial
// autocorrelations, and each must stay below `limit` in modulus.
bool well_inside_stationarity(const Eigen::VectorXd& phi, double limit) {
  Eigen::Index p = phi.size();
  while (p > 0 && phi[p - 1] == 0.0) --p;
  std::vector<double> a(phi.data(), phi.data() + p), b(static_cast<std::size_t>(p));
  for (Eigen::Index j = p; j >= 1; --j) {
    const double r = a[static_cast<std::size_t>(j - 1)];
    if (!(std::fabs(r) < limit)) return false;
    const double denom = 1.0 - r * r;
    for (Eigen::Index i = 1; i < j; ++i) {
      b[static_cast<std::size_t>(i - 1)] =
          (a[static_cast<std::size_t>(i - 1)] + r * a[static_cast<std::size_t>(j - i - 1)]) / denom;
    }
    std::copy(b.begin(), b.begin() + (j - 1), a.begin());
  }
  return true;
}

// P = A·P·A' + Q for a companion A. With x_j = P(0, j), every entry follows
// its diagonal down to the block's edge,
//   P(i, j) = Q(i, j) + φ_{i+1}·φ_{j+1}·x_0 + φ_{i+1}·x_{j+1} + φ_{j+1}·x_{i+1}
//             + P(i + 1, j + 1),
// so the first row solves an n × n linear system and the rest is filled from
// the bottom right. That is one O(n³/3) factorisation where the doubling
// spends three dense products per iteration.
std::optional<Eigen::MatrixXd> companion_lyapunov(const Eigen::VectorXd& phi,
                                                  const Eigen::MatrixXd& Q) {
  const Eigen::Index n = phi.size();
  Eigen::MatrixXd A = Eigen::MatrixXd::Identity(n, n);
  for (Eigen::Index j = 0; j < n; ++j) {
    for (Eigen::Index t = 0; t + j < n; ++t) {
      A(j, 0) -= phi[t] * phi[j + t];
      if (j + t + 1 < n) A(j, j + t + 1) -= phi[t];
      if (t + 1 < n) A(j, t + 1) -= phi[j + t];
    }
  }
  const Eigen::PartialPivLU<Eigen::MatrixXd> lu(A);
  // The solution for a symmetric right-hand side C.
  auto solve = [&](const Eigen::MatrixXd& C) {
    Eigen::VectorXd c = Eigen::VectorXd::Zero(n);
    for (Eigen::Index j = 0; j < n; ++j) {
      for (Eigen::Index t = 0; t + j < n; ++t) c[j] += C(t, j + t);
    }
    const Eigen::VectorXd x = lu.solve(c);
    Eigen::MatrixXd P(n, n);
    for (Eigen::Index d = 0; d < n; ++d) {
      for (Eigen::Index i = n - 1 - d; i >= 0; --i) {
        const Eigen::Index j = i + d;
        double v = C(i, j) + phi[i] * phi[j] * x[0];
        if (i + 1 < n) v += phi[j] * x[i + 1];
        if (j + 1 < n) v += phi[i] * x[j + 1] + P(i + 1, j + 1);
        P(i, j) = v;
        P(j, i) = v;
      }
    }
    return P;
  };
  // Q + A·P·A' − P for symmetric P, through the companion structure, in
  // extended precision: a residual rounded to working precision would limit
  // the refinement to what the first solve already has.
  const Eigen::MatrixXd Qs = 0.5 * (Q + Q.transpose());
  auto residual = [&](const Eigen::MatrixXd& P) {
    Eigen::MatrixXd R(n, n);
    for (Eigen::Index j = 0; j < n; ++j) {
      for (Eigen::Index i = j; i < n; ++i) {
        const long double pi = phi[i], pj = phi[j];
        long double v = static_cast<long double>(Qs(i, j)) - P(i, j) + pi * pj * P(0, 0);
        if (i + 1 < n) v += pj * P(i + 1, 0);
        if (j + 1 < n) v += pi * P(0, j + 1);
        if (i + 1 < n && j + 1 < n) v += P(i + 1, j + 1);
        R(i, j) = static_cast<double>(v);
        R(j, i) = R(i, j);
      }
    }
    return R;
  };
  Eigen::MatrixXd P = solve(Qs);
  // The elimination on the first row loses more than the doubling does;
  // one correction from the exact residual wins it back.
  P += solve(residual(P));
  if (!P.allFinite()) return std::nullopt;
  return P;
}

}  // namespace

std::optional<Eigen::MatrixXd> stationary_covariance(const Eigen::MatrixXd& A,
                                                     const Eigen::MatrixXd& Q) {
  if (const auto phi = companion_column(A); phi && !phi->isZero(0.0) &&
                                            well_inside_stationarity(*phi, STRUCTURED_PACF_LIMIT)) {
    auto P = in_representable_units(
        Q, [&](const Eigen::MatrixXd& Qs) { return companion_lyapunov(*phi, Qs); });
    if (!P) return std::nullopt;
    // P is symmetric already; the doubling's symmetrisation is kept for what
    // it does at the edge of the range: entries past half the largest double
    // become infinite there too.
    Eigen::MatrixXd S = 0.5 * (*P + P->transpose());
    return S;
  }
  return solve_lyapunov_general(A, Q);
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

double carried_diffuse_variance(const StateSpace& ss, const SarimaxConfig& config) {
  const double kappa = config.diffuse_variance;
  if (ss.state_cov.size() != 1) return kappa;
  const double sigma2 = ss.state_cov(0, 0);
  if (!(sigma2 > 0.0) || !std::isfinite(sigma2)) return kappa;
  return std::fmin(kappa, DIFFUSE_TO_INNOVATION * sigma2);
}

KalmanInit KalmanInit::from_config_default(const StateSpace& ss, const SarimaxConfig& config) {
  const std::size_t k = ss.k_states;
  const double diffuse = carried_diffuse_variance(ss, config);
  if (!config.enforce_stationarity) return approximate_diffuse(k, diffuse);
  const std::size_t k_diff = config.k_diff();
  const std::size_t k_arma = config.k_arma();
  if (!(k_diff < k && k_arma != 0)) return approximate_diffuse(k, diffuse);

  const auto kd = static_cast<Eigen::Index>(k_diff);
  const auto ka = static_cast<Eigen::Index>(k_arma);
  const Eigen::MatrixXd Ta = ss.transition.block(kd, kd, ka, ka);
  const Eigen::MatrixXd Ra = ss.selection.middleRows(kd, ka);
  const Eigen::MatrixXd V = (Ra * ss.state_cov) * Ra.transpose();

  // Behind two or more regular differences the block's last bits reach the
  // likelihood amplified: the burn steps take differences of 1e6-sized
  // variances twice over, and a one-ulp change in the block moves the
  // (2,2,1)(0,1,0,12) log-likelihood by 2e-10. There the doubling's own sums
  // are kept. With at most one, the faster solve moves log-likelihoods by
  // no more than their own rounding does.
  const bool amplified = !config.simple_differencing && config.order.d >= 2;
  auto S = amplified ? solve_lyapunov_general(Ta, V) : stationary_covariance(Ta, V);
  if (!S) return approximate_diffuse(k, diffuse);

  Eigen::MatrixXd B;
  if (cholesky_test(*S)) {
    B = std::move(*S);
  } else {
    // The jitter is relative to the block's largest variance, so that the
    // same model gives the same start in any units of the series; only a
    // block without any variance (σ² = 0) has no units to take it from.
    double scale = 0.0;
    for (Eigen::Index i = 0; i < ka; ++i) scale = std::fmax(scale, std::fabs((*S)(i, i)));
    if (scale == 0.0) scale = 1.0;
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
    if (!ok) return approximate_diffuse(k, diffuse);
    B = std::move(J);
  }

  // The block starts at its unconditional mean, not at zero: with a constant
  // in the state intercept a zero start would judge every series with a
  // level as if it began at 0. Differencing states keep mean 0.
  Eigen::VectorXd mu = Eigen::VectorXd::Zero(ka);
  if (!ss.state_intercept.empty()) {
    Eigen::VectorXd c_b = Eigen::VectorXd::Zero(ka);  // the trend enters at the block's first row
    c_b(0) = ss.state_intercept[0];
    auto m = stationary_mean(Ta, c_b);
    if (!m) return approximate_diffuse(k, diffuse);
    mu = std::move(*m);
  }

  KalmanInit init;
  const auto kk = static_cast<Eigen::Index>(k);
  init.p0 = Eigen::MatrixXd::Zero(kk, kk);
  for (Eigen::Index i = 0; i < kd; ++i) init.p0(i, i) = diffuse;
  init.p0.block(kd, kd, ka, ka) = B;
  init.a0 = Eigen::VectorXd::Zero(kk);
  init.a0.segment(kd, ka) = mu;
  init.stationary_block = std::make_pair(k_diff, k_arma);
  init.burn = k_diff;
  return init;
}

}  // namespace peltaro::core
