#pragma once
// Convergence rule shared by every recursion that can freeze its covariance.
//
// The whole predicted covariance is compared between checks, not only P·Z:
// in seasonal models P·Z can stay still for a whole season while the rest of
// P is still moving, and freezing then gives a wrong likelihood.

#include <Eigen/Dense>
#include <cmath>

namespace peltaro::core {

inline constexpr double STEADY_REL_TOL = 1e-9;
inline constexpr std::size_t STEADY_START_OFFSET = 5;  // first check at t = burn + 5
inline constexpr int STEADY_CHECKS = 3;                // consecutive converged checks

class SteadyStateRule {
 public:
  // `m` states; the previous covariance starts at zero.
  explicit SteadyStateRule(Eigen::Index m) : p_prev_(Eigen::MatrixXd::Zero(m, m)) {}

  // Start from a given previous covariance instead of zero.
  void prime(const Eigen::MatrixXd& P) { p_prev_ = P; }

  // One check on the newly predicted covariance. Returns true when this check
  // converged and the count of consecutive converged checks reached three;
  // the caller then tries to switch. The previous covariance becomes P.
  bool check(const Eigen::MatrixXd& P) {
    const double diff2 = (P - p_prev_).squaredNorm();
    const double prev2 = p_prev_.squaredNorm();
    const double rel = std::sqrt(diff2) / std::fmax(std::sqrt(prev2), 1e-15);
    const bool converged = rel < STEADY_REL_TOL;
    count_ = converged ? count_ + 1 : 0;
    p_prev_ = P;
    return converged && count_ >= STEADY_CHECKS;
  }

  [[nodiscard]] int count() const { return count_; }

 private:
  Eigen::MatrixXd p_prev_;
  int count_ = 0;
};

}  // namespace peltaro::core
