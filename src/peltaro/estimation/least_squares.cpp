#include "peltaro/estimation/least_squares.hpp"

namespace peltaro::estimation {

std::expected<Eigen::VectorXd, std::string> svd_least_squares(const Eigen::MatrixXd& A,
                                                              const Eigen::VectorXd& b, double eps) {
  if (A.rows() != b.size()) return std::unexpected("right-hand side has the wrong length");
  if (!A.allFinite() || !b.allFinite()) return std::unexpected("non-finite values in the system");
  Eigen::VectorXd x = Eigen::VectorXd::Zero(A.cols());
  if (A.rows() == 0 || A.cols() == 0) return x;
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
  const Eigen::VectorXd& sv = svd.singularValues();
  for (Eigen::Index i = 0; i < sv.size(); ++i) {
    if (!(sv[i] > eps)) continue;
    const double coef = svd.matrixU().col(i).dot(b) / sv[i];
    x += coef * svd.matrixV().col(i);
  }
  if (!x.allFinite()) return std::unexpected("non-finite solution");
  return x;
}

}  // namespace peltaro::estimation
