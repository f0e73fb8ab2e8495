#include "peltaro/estimation/engine/inverse_hessian.hpp"

#include <cmath>
#include <string>

namespace peltaro::estimation::engine {

TextResult<void> InverseHessian::start(Eigen::Index n) {
  if (h_.rows() != n || h_.cols() != n) {
    return fail_text("inverse Hessian is " + std::to_string(h_.rows()) + "x" +
                     std::to_string(h_.cols()) + " but the start point has " + std::to_string(n) +
                     " coordinates");
  }
  hy_.resize(n);
  return {};
}

void InverseHessian::direction(const Eigen::VectorXd& g, Eigen::VectorXd& d) const {
  d.noalias() = -(h_ * g);
}

// Expanded to O(n²) work with H symmetric (w = H·y):
//   H + (ρ + ρ²·yᵀw) s sᵀ − ρ (s wᵀ + w sᵀ).
void InverseHessian::update(const Eigen::VectorXd& s, const Eigen::VectorXd& y) {
  const double sy = s.dot(y);
  const double rho = 1.0 / sy;
  if (!(sy > 0.0) || !std::isfinite(rho)) return;
  hy_.noalias() = h_ * y;
  const double ss_coef = rho + rho * rho * y.dot(hy_);
  h_.noalias() += ss_coef * (s * s.transpose());
  h_.noalias() -= rho * (s * hy_.transpose());
  h_.noalias() -= rho * (hy_ * s.transpose());
}

}  // namespace peltaro::estimation::engine
