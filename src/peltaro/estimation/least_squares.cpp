#include "peltaro/estimation/least_squares.hpp"

#include <algorithm>
#include <cmath>

namespace peltaro::estimation {

namespace {

// Σ over the singular values above eps of (u_i'·b / σ_i)·v_i.
template <class Svd>
Eigen::VectorXd truncated_solution(const Svd& svd, const Eigen::VectorXd& b, double eps) {
  const Eigen::VectorXd& sv = svd.singularValues();
  Eigen::VectorXd x = Eigen::VectorXd::Zero(svd.matrixV().rows());
  for (Eigen::Index i = 0; i < sv.size(); ++i) {
    if (!(sv[i] > eps)) continue;
    const double coef = svd.matrixU().col(i).dot(b) / sv[i];
    x += coef * svd.matrixV().col(i);
  }
  return x;
}

// A tall system's answer from its triangle: R of the system scaled by 2^−e
// (A·2^−e·P = Q·R) and c = Q'·b. R has the scaled system's singular values,
// so the cut-off is scaled alike; the answer, before the column permutation
// P, is scaled back. The factorisations sum squares of A's entries, which
// overflow past about 1e154, hence the scaling to a largest entry in [1, 2):
// by a power of two, so exactly.
//
// Every singular value of R is at least 1/‖R⁻¹‖_F, so when that bound is well
// above the cut-off no singular value is dropped, and the truncated answer
// is R⁻¹·c: a back substitution, much cheaper than the SVD, which serves the
// systems that are near rank-deficient.
std::expected<Eigen::VectorXd, std::string> solve_triangle(const Eigen::MatrixXd& R,
                                                           const Eigen::VectorXd& c, int e,
                                                           double eps) {
  const double cut = std::ldexp(eps, -e);
  if (R.rows() == R.cols() && R.diagonal().cwiseAbs().minCoeff() > 0.0) {
    const auto upper = R.triangularView<Eigen::Upper>();
    const Eigen::MatrixXd inverse =
        upper.solve(Eigen::MatrixXd::Identity(R.rows(), R.cols()));
    const double norm = inverse.norm();
    if (std::isfinite(norm) && 1.0 / norm > 1e3 * cut) {
      Eigen::VectorXd x = std::ldexp(1.0, -e) * (inverse * c);
      if (x.allFinite()) return x;
    }
  }
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(R, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (!svd.singularValues().allFinite()) return std::unexpected("non-finite decomposition");
  Eigen::VectorXd x = std::ldexp(1.0, -e) * truncated_solution(svd, c, cut);
  if (!x.allFinite()) return std::unexpected("non-finite solution");
  return x;
}

}  // namespace

std::expected<Eigen::VectorXd, std::string> svd_least_squares(Eigen::MatrixXd A,
                                                              const Eigen::VectorXd& b, double eps) {
  if (A.rows() != b.size()) return std::unexpected("right-hand side has the wrong length");
  if (!A.allFinite() || !b.allFinite()) return std::unexpected("non-finite values in the system");
  const Eigen::Index k = A.cols();
  if (A.rows() == 0 || k == 0) return Eigen::VectorXd::Zero(k);
  if (A.rows() > k) {
    // A·P = Q·R with column pivoting, formed over A itself, and then the
    // triangle's SVD: R = U_R·Σ·V_R' gives A = (Q·U_R)·Σ·(P·V_R)' and
    // (Q·U_R)'·b = U_R'·(Q'·b), so no n-row factor is ever formed.
    const double largest = A.cwiseAbs().maxCoeff();
    if (largest == 0.0) return Eigen::VectorXd::Zero(k);
    const int e = std::ilogb(largest);
    A *= std::ldexp(1.0, -e);
    const Eigen::ColPivHouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(A);
    Eigen::VectorXd qtb = b;
    qtb.applyOnTheLeft(qr.householderQ().adjoint());
    const Eigen::MatrixXd R = qr.matrixR().topLeftCorner(k, k).triangularView<Eigen::Upper>();
    auto y = solve_triangle(R, qtb.head(k), e, eps);
    if (!y) return y;
    return Eigen::VectorXd(qr.colsPermutation() * *y);
  }
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
  Eigen::VectorXd x = truncated_solution(svd, b, eps);
  if (!x.allFinite()) return std::unexpected("non-finite solution");
  return x;
}

std::expected<Eigen::VectorXd, std::string> svd_least_squares(
    std::span<const std::span<const double>> columns, std::span<const double> b,
    std::size_t rows, double eps) {
  const auto k = static_cast<Eigen::Index>(columns.size());
  const auto n = static_cast<Eigen::Index>(rows);
  if (b.size() < rows) return std::unexpected("right-hand side has the wrong length");
  for (const auto& c : columns) {
    if (c.size() < rows) return std::unexpected("a column is shorter than the rows asked for");
  }
  if (rows * columns.size() <= STREAMED_LEAST_SQUARES || n <= k) {
    Eigen::MatrixXd A(n, k);
    for (Eigen::Index j = 0; j < k; ++j)
      A.col(j) = Eigen::Map<const Eigen::VectorXd>(columns[static_cast<std::size_t>(j)].data(), n);
    return svd_least_squares(std::move(A), Eigen::Map<const Eigen::VectorXd>(b.data(), n), eps);
  }

  // One pass for the scale (see solve_triangle) and the finiteness of every
  // value.
  double largest = 0.0;
  bool finite = true;
  for (const auto& c : columns) {
    for (std::size_t i = 0; i < rows; ++i) {
      finite = finite && std::isfinite(c[i]);
      largest = std::fmax(largest, std::fabs(c[i]));
    }
  }
  for (std::size_t i = 0; i < rows; ++i) finite = finite && std::isfinite(b[i]);
  if (!finite) return std::unexpected("non-finite values in the system");
  if (largest == 0.0) return Eigen::VectorXd::Zero(k);
  const int e = std::ilogb(largest);
  const double scale = std::ldexp(1.0, -e);

  // [R; next rows] = Q·R' and [c; next b] ← Q'·[c; next b]: after the last
  // block R is the triangle of the whole system and c its Q'·b.
  const Eigen::Index block = std::max<Eigen::Index>(256, k);
  Eigen::MatrixXd S(k + block, k);
  Eigen::VectorXd t(k + block);
  Eigen::Index held = 0;
  for (Eigen::Index first = 0; first < n; first += block) {
    const Eigen::Index count = std::min(block, n - first);
    for (Eigen::Index j = 0; j < k; ++j) {
      const double* c = columns[static_cast<std::size_t>(j)].data() + first;
      for (Eigen::Index i = 0; i < count; ++i) S(held + i, j) = scale * c[i];
    }
    for (Eigen::Index i = 0; i < count; ++i) t[held + i] = b[static_cast<std::size_t>(first + i)];
    auto stacked = S.topRows(held + count);
    const Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(stacked);
    t.head(held + count).applyOnTheLeft(qr.householderQ().adjoint());
    held = std::min(k, held + count);
    S.topRows(held).triangularView<Eigen::StrictlyLower>().setZero();
  }
  return solve_triangle(S.topRows(held), t.head(held), e, eps);
}

}  // namespace peltaro::estimation
