#pragma once
// When a recursion may freeze its predicted covariance: the one rule shared by
// the filter, the batched filter and the tangent-linear pass. They feed it the
// same sequence of covariances at the same steps, so all three switch together
// and the score stays the gradient of the likelihood the filter returns.
//
// The whole predicted covariance is compared from one step to the next, not
// only P·Z: in seasonal models P·Z can stay still for a whole season while the
// rest of P is still moving.

#include <Eigen/Dense>
#include <cstddef>

namespace peltaro::core {

struct SteadyStateOptions {
  // Relative change of P (against ‖P_old‖_F) below which a check passes.
  double tolerance = 1e-9;
  // Steps after `burn` before the first check, so that the large early
  // changes of a diffuse start are left alone.
  std::size_t first_check = 5;
  // Passing checks in a row needed to switch.
  int checks_in_a_row = 3;
};

class SteadyStateRule {
 public:
  explicit SteadyStateRule(std::size_t burn, SteadyStateOptions options = {})
      : options_(options), first_check_(burn + options.first_check) {}

  // After the update step t: `p_new` is the covariance just predicted for
  // t + 1, `p_old` the one predicted for t. True when the caller should freeze
  // `p_new`; a caller that cannot (F not finite and positive) keeps calling,
  // and the next passing check tries again.
  bool after_update(std::size_t t, const Eigen::MatrixXd& p_new, const Eigen::MatrixXd& p_old);

  // A step without an update predicts P by another map: the changes before it
  // and after it do not belong to one sequence, so the count starts anew.
  void after_skip() { passed_ = 0; }

 private:
  SteadyStateOptions options_;
  std::size_t first_check_;
  int passed_ = 0;
};

}  // namespace peltaro::core
