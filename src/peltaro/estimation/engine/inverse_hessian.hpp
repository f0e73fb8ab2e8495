#pragma once
// BFGS curvature model: a dense inverse-Hessian approximation H, given at the
// start and refined by the rank-two update
//   H ← (I − ρ s yᵀ) H (I − ρ y sᵀ) + ρ s sᵀ,  ρ = 1 / (sᵀy).

#include <Eigen/Core>
#include <utility>

#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::engine {

class InverseHessian {
 public:
  explicit InverseHessian(Eigen::MatrixXd h0) : h_(std::move(h0)) {}

  // Checks H against the problem's dimension n.
  TextResult<void> start(Eigen::Index n);
  // d = −H·g.
  void direction(const Eigen::VectorXd& g, Eigen::VectorXd& d) const;
  // A pair without positive curvature (sᵀy ≤ 0, or ρ not finite) is skipped:
  // taking it would make H indefinite and the next direction could climb.
  void update(const Eigen::VectorXd& s, const Eigen::VectorXd& y);

  [[nodiscard]] const Eigen::MatrixXd& matrix() const { return h_; }

 private:
  Eigen::MatrixXd h_;
  Eigen::VectorXd hy_;
};

}  // namespace peltaro::estimation::engine
