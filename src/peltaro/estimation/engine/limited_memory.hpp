#pragma once
// L-BFGS curvature model: the last `pairs` steps and gradient changes, applied
// to a gradient by the two-loop recursion with initial scaling
// γ = sᵀy / yᵀy of the newest pair (1 while none is stored).

#include <Eigen/Core>
#include <cstddef>

#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::engine {

class LimitedMemory {
 public:
  explicit LimitedMemory(std::size_t pairs = 10) : capacity_(pairs) {}

  // Allocates room for the pairs of an n-dimensional problem; forgets any.
  TextResult<void> start(Eigen::Index n);
  // d = −H·g by the two-loop recursion.
  void direction(const Eigen::VectorXd& g, Eigen::VectorXd& d);
  // Stores the pair, dropping the oldest when full; a pair without positive
  // curvature is skipped, as it would make H indefinite.
  void update(const Eigen::VectorXd& s, const Eigen::VectorXd& y);

  [[nodiscard]] std::size_t stored() const { return count_; }

 private:
  // Column of the i-th stored pair, 0 the oldest.
  [[nodiscard]] Eigen::Index column(std::size_t i) const;

  std::size_t capacity_;
  std::size_t count_ = 0;
  std::size_t oldest_ = 0;
  Eigen::MatrixXd s_, y_;
  Eigen::VectorXd rho_, alpha_;
};

}  // namespace peltaro::estimation::engine
