#include "peltaro/core/kalman/steady_state.hpp"

#include <cmath>

namespace peltaro::core {

// The change of a step is ‖P_new − P_old‖_F / trace(P_old): relative to the
// total variance of the state, which for a covariance is at least ‖P_old‖_F.
bool SteadyStateRule::after_update(std::size_t t, const Eigen::MatrixXd& p_new,
                                   const Eigen::MatrixXd& p_old) {
  if (t < first_check_) return false;
  // A trace that is not positive, or NaN, gives 1e-15: the change is then
  // judged all but absolutely.
  const double scale = std::fmax(p_old.trace(), 1e-15);
  const double change = (p_new - p_old).norm() / scale;
  const double tolerance = options_.tolerance;

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
