#include "peltaro/core/kalman/steady_state.hpp"

#include <cmath>

namespace peltaro::core {

bool SteadyStateRule::after_update(std::size_t t, const Eigen::MatrixXd& p_new,
                                   const Eigen::MatrixXd& p_old) {
  if (t < first_check_) return false;
  const double change = (p_new - p_old).norm() / std::fmax(p_old.norm(), 1e-15);
  const bool passed = change < options_.tolerance;
  passed_ = passed ? passed_ + 1 : 0;
  return passed && passed_ >= options_.checks_in_a_row;
}

}  // namespace peltaro::core
