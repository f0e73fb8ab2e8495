#pragma once
// When the filter may freeze its predicted covariance. The batched filter and
// the score's passes ride on the filter's steps, so all switch at the step
// this rule picks and the score stays the gradient of the likelihood the
// filter returns.
//
// The whole predicted covariance is compared from one step to the next, not
// only P·Z: in seasonal models P·Z can stay still for a whole season while the
// rest of P is still moving.
//
// A small change alone does not make a converged recursion. Near a unit root
// the covariance moves by a factor ρ close to 1 per step, and after a change δ
// it still has about δ·ρ/(1 − ρ) to go; freezing then leaves every later F and
// gain off by that much. The rule reads ρ from two successive changes, both
// below the tolerance (the large changes of the first steps say nothing about
// the approach), and switches only when that remaining drift is below the
// tolerance too.

#include <Eigen/Dense>
#include <cstddef>
#include <limits>
#include <vector>

#include "peltaro/core/kalman/state_covariance.hpp"

namespace peltaro::core {

struct SteadyStateOptions {
  // Largest drift of P still to come, relative to trace(P), that freezing may
  // leave out.
  double tolerance = 1e-9;
  // Relative changes at or below this are rounding: no rate can be read from
  // them, and while ρ < 1 − 1e-5 the drift still to come after such a change
  // stays below the tolerance. A recursion that stands exactly still (change
  // zero) has nothing left to move at all.
  double rounding_floor = 1e-14;
  // Rounding moves each relative change by about 1e-16. A rate is read only
  // from two changes that differ by more than this, which then fixes 1 − ρ to
  // within about a tenth; closer to a unit root only the floor can switch.
  double rate_resolution = 1e-15;
  // Steps after `burn` before the first check, so that the large early changes
  // of a diffuse start are not read as a rate.
  std::size_t first_check = 5;
  // Passing checks in a row needed to switch. Each of them bounds the drift
  // with its own ratio, so the last one also holds with the slowest of them.
  int checks_in_a_row = 3;
};

class SteadyStateRule {
 public:
  explicit SteadyStateRule(std::size_t burn, SteadyStateOptions options = {})
      : options_(options), first_check_(burn + options.first_check) {}

  // After the update step t: `p_new` is the covariance just predicted for
  // t + 1, `p_old` the one predicted for t. True when the caller should freeze
  // `p_new`; a caller that cannot (F not finite and positive) keeps calling,
  // and the next passing check tries again. Only their lower triangles are
  // read. A p_old stored where the last check's p_new was must be that
  // covariance, unchanged: its diagonal is taken from that check.
  bool after_update(std::size_t t, const StateCovariance& p_new, const StateCovariance& p_old);

  // A step without an update predicts P by another map: the changes before it
  // and after it do not belong to one sequence, so the rate starts anew.
  void after_skip() {
    last_change_ = std::numeric_limits<double>::quiet_NaN();
    passed_ = 0;
    diagonal_of_ = nullptr;
  }

 private:
  SteadyStateOptions options_;
  std::size_t first_check_;
  // Relative change at the previous check (a lower bound of it when that was
  // at least the tolerance, which is all the next check uses); NaN before the
  // first check and after a skip.
  double last_change_ = std::numeric_limits<double>::quiet_NaN();
  int passed_ = 0;
  // The diagonal of the last check's p_new, and where that matrix's storage
  // was: the next check reads it as p_old's if p_old lives there. So a p_old
  // at that address must be that p_new, unchanged (the callers exchange the
  // two matrices after each check, as the tests do).
  std::vector<double> diagonal_;
  const double* diagonal_of_ = nullptr;

  // The decision from the whole change of this check.
  bool judge(double change);
};

}  // namespace peltaro::core
