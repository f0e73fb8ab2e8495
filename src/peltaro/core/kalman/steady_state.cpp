#include "peltaro/core/kalman/steady_state.hpp"

#include <cmath>

namespace peltaro::core {

// The change of a step is ‖P_new − P_old‖_F / trace(P_old): relative to the
// total variance of the state, which for a covariance is at least ‖P_old‖_F.
//
// Most checks end after O(m) work. The diagonal part of the squared change is
// summed first, and the whole sum is that partial sum plus the off-diagonal
// squares; adding a non-negative number never makes a rounded sum smaller, so
// the diagonal alone bounds the computed change from below, bit for bit. A
// change above the rounding floor and not below the tolerance cannot pass, and
// the next check only needs to know that it was that large, so the
// off-diagonal sum is then not formed. The decisions are exactly those of the
// full test.
bool SteadyStateRule::after_update(std::size_t t, const Eigen::MatrixXd& p_new,
                                   const Eigen::MatrixXd& p_old) {
  if (t < first_check_) return false;
  const Eigen::Index m = p_new.rows();
  double diagonal = 0.0;
  double trace = 0.0;
  for (Eigen::Index i = 0; i < m; ++i) {
    const double d = p_new(i, i) - p_old(i, i);
    diagonal += d * d;
    trace += p_old(i, i);
  }
  // A trace that is not positive, or NaN, gives 1e-15: the change is then
  // judged all but absolutely.
  const double scale = std::fmax(trace, 1e-15);
  const double tolerance = options_.tolerance;
  const double diagonal_change = std::sqrt(diagonal) / scale;
  if (!(diagonal_change < tolerance || diagonal_change <= options_.rounding_floor)) {
    last_change_ = diagonal_change;
    passed_ = 0;
    return false;
  }

  double off_diagonal = 0.0;
  auto add = [&](double a, double b) { off_diagonal += (a - b) * (a - b); };
  // Both are exactly symmetric, so the entries above the diagonal are read at
  // their mirror images: a recursion may leave the upper triangle partly
  // unformed (see CovarianceKernel::predict_lower). The sum keeps its order.
  for (Eigen::Index j = 0; j < m; ++j) {
    for (Eigen::Index i = 0; i < j; ++i) add(p_new(j, i), p_old(j, i));
    for (Eigen::Index i = j + 1; i < m; ++i) add(p_new(i, j), p_old(i, j));
  }
  const double change = std::sqrt(diagonal + off_diagonal) / scale;

  bool passed = change <= options_.rounding_floor;
  if (!passed && last_change_ < tolerance && last_change_ - change > options_.rate_resolution) {
    const double rho = change / last_change_;
    passed = change * rho / (1.0 - rho) < tolerance;
  }
  passed_ = passed ? passed_ + 1 : 0;
  last_change_ = change;
  return passed && passed_ >= options_.checks_in_a_row;
}

}  // namespace peltaro::core
