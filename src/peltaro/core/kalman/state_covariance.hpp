#pragma once
// The predicted covariance P as the recursions carry it from step to step.
//
// Only its lower triangle is sure to hold P. The lower forms of the kernel's
// steps (see CovarianceKernel::predict_lower) mirror above the diagonal only
// the entries that their next step and the sparse P·Z read, because copying
// the whole triangle costs about a third of a step; the rest of the upper
// triangle keeps whatever it held. So every read goes through this type,
// which reads the lower triangle or completes the upper one first, and only
// the one covariance step (FilterSystem::predict_covariance) writes it.

#include <Eigen/Dense>
#include <cstddef>
#include <utility>

#include "peltaro/core/kalman/sparse_forms.hpp"

namespace peltaro::core {

class StateCovariance {
 public:
  StateCovariance() = default;
  // From an exactly symmetric matrix, whole.
  explicit StateCovariance(const Eigen::MatrixXd& whole) : p_(whole) {}

  // The same into the storage held, which allocates nothing for a matrix of
  // its size.
  void assign(const Eigen::MatrixXd& whole) {
    p_ = whole;
    whole_ = true;
  }

  [[nodiscard]] std::size_t dim() const { return static_cast<std::size_t>(p_.rows()); }

  // Entry (i, j), read at or below the diagonal.
  [[nodiscard]] double operator()(std::size_t i, std::size_t j) const {
    const std::size_t m = dim();
    return i >= j ? p_.data()[j * m + i] : p_.data()[i * m + j];
  }

  // Column c into `out` (dim() values): above the diagonal along row c.
  void column(std::size_t c, double* out) const {
    const std::size_t m = dim();
    const double* p = p_.data();
    for (std::size_t i = 0; i < c; ++i) out[i] = p[i * m + c];
    for (std::size_t i = c; i < m; ++i) out[i] = p[c * m + i];
  }

  // PZ ← P·Z; returns F = Z'·P·Z, by the pass's strategy. The sparse product
  // reads Z's columns whole, which every step keeps; the dense one reads all
  // of P, which the dense strategy's steps keep whole.
  double times_z(KalmanStrategy strategy, const Eigen::VectorXd& Z, const SparseZ& sparse_z,
                 Eigen::VectorXd& pz) const {
    return compute_pz_and_f(strategy, p_, Z, sparse_z, dim(), pz);
  }

  // The lower triangle, column-major with leading dimension dim(): valid at
  // i ≥ j only. What the steady-state rule compares, entry by entry.
  [[nodiscard]] const double* lower_data() const { return p_.data(); }

  // The whole symmetric matrix, its upper triangle completed in place: for a
  // covariance read whole from here on (frozen at the steady-state switch).
  const Eigen::MatrixXd& complete() {
    if (!whole_) mirror_lower(p_.data(), dim());
    whole_ = true;
    return p_;
  }

  // A whole symmetric copy.
  void copy_whole(Eigen::MatrixXd& out) const {
    out = p_;
    if (!whole_) mirror_lower(out.data(), dim());
  }

  // The whole matrix, handed over; this one is left empty.
  [[nodiscard]] Eigen::MatrixXd take_whole() {
    complete();
    return std::move(p_);
  }

  void swap(StateCovariance& other) noexcept {
    p_.swap(other.p_);
    std::swap(whole_, other.whole_);
  }

 private:
  friend struct FilterSystem;  // the one step that writes it
  Eigen::MatrixXd p_;
  bool whole_ = true;  // the upper triangle holds P too
};

}  // namespace peltaro::core
