#include "peltaro/estimation/least_squares.hpp"

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

}  // namespace

std::expected<Eigen::VectorXd, std::string> svd_least_squares(Eigen::MatrixXd A,
                                                              const Eigen::VectorXd& b, double eps) {
  if (A.rows() != b.size()) return std::unexpected("right-hand side has the wrong length");
  if (!A.allFinite() || !b.allFinite()) return std::unexpected("non-finite values in the system");
  const Eigen::Index k = A.cols();
  if (A.rows() == 0 || k == 0) return Eigen::VectorXd::Zero(k);
  Eigen::VectorXd x;
  if (A.rows() > k) {
    // A·P = Q·R with column pivoting, formed over A itself. R has A's
    // singular values, R = U_R·Σ·V_R' gives A = (Q·U_R)·Σ·(P·V_R)', and
    // (Q·U_R)'·b = U_R'·(Q'·b): no n-row factor is ever formed.
    //
    // The factorisation sums squares of A's entries, which overflow past
    // about 1e154: A is first brought to a largest entry in [1, 2) by a
    // power of two, which is exact, and the cut-off and the answer are
    // scaled back by the same power.
    const double largest = A.cwiseAbs().maxCoeff();
    if (largest == 0.0) return Eigen::VectorXd::Zero(k);
    const int e = std::ilogb(largest);
    A *= std::ldexp(1.0, -e);
    const Eigen::ColPivHouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(A);
    Eigen::VectorXd qtb = b;
    qtb.applyOnTheLeft(qr.householderQ().adjoint());
    const Eigen::MatrixXd R = qr.matrixR().topLeftCorner(k, k).triangularView<Eigen::Upper>();
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(R, Eigen::ComputeFullU | Eigen::ComputeFullV);
    if (!svd.singularValues().allFinite()) return std::unexpected("non-finite decomposition");
    x = std::ldexp(1.0, -e) *
        (qr.colsPermutation() * truncated_solution(svd, qtb.head(k), std::ldexp(eps, -e)));
  } else {
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
    x = truncated_solution(svd, b, eps);
  }
  if (!x.allFinite()) return std::unexpected("non-finite solution");
  return x;
}

}  // namespace peltaro::estimation
