// The steady-state rule on covariance sequences built by hand.

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "peltaro/core/kalman/steady_state.hpp"

using peltaro::core::SteadyStateRule;

namespace {

using Sequence = std::function<Eigen::MatrixXd(std::size_t)>;

// Feeds P(t + 1) against P(t) after every step t < n; the step whose check
// says to freeze, if any.
std::optional<std::size_t> switch_step(const Sequence& P, std::size_t n, std::size_t burn = 0) {
  SteadyStateRule rule(burn);
  Eigen::MatrixXd now = P(0);
  for (std::size_t t = 0; t < n; ++t) {
    Eigen::MatrixXd next = P(t + 1);
    if (rule.after_update(t, next, now)) return t;
    now.swap(next);
  }
  return std::nullopt;
}

// A 3-state covariance limit and a symmetric direction of approach, each of
// trace and Frobenius norm near 1.
const Eigen::MatrixXd LIMIT = (Eigen::MatrixXd(3, 3) << 1.0, 0.3, 0.1, 0.3, 0.5, 0.2, 0.1, 0.2, 0.25).finished();
const Eigen::MatrixXd DIRECTION =
    (Eigen::MatrixXd(3, 3) << 0.4, -0.2, 0.3, -0.2, 0.3, 0.1, 0.3, 0.1, -0.2).finished();

}  // namespace

// A covariance that stands exactly still, or moves by rounding only, has
// nothing left to drift: the checks at burn + 5, + 6 and + 7 all pass.
TEST(SteadyStateRule, StillOrRoundingLevelChangesFreezeAtTheThirdCheck) {
  struct Case {
    const char* name;
    std::size_t burn;
    double wobble;  // P alternates between L and L + wobble·D
  };
  const Case cases[] = {{"still", 0, 0.0}, {"still after burn", 3, 0.0}, {"rounding", 0, 4e-16},
                        {"rounding after burn", 11, 4e-16}};
  for (const Case& c : cases) {
    const Sequence P = [&](std::size_t t) {
      return Eigen::MatrixXd(LIMIT + (t % 2 == 1 ? c.wobble : 0.0) * DIRECTION);
    };
    EXPECT_EQ(switch_step(P, 100, c.burn), std::optional<std::size_t>(c.burn + 7)) << c.name;
  }
}

TEST(SteadyStateRule, AStepWithoutUpdateStartsTheCountAnew) {
  SteadyStateRule rule(0);
  const Eigen::MatrixXd P = LIMIT;
  std::optional<std::size_t> s;
  for (std::size_t t = 0; t < 20 && !s; ++t) {
    if (t == 6) {
      rule.after_skip();
    } else if (rule.after_update(t, P, P)) {
      s = t;
    }
  }
  EXPECT_EQ(s, std::optional<std::size_t>(9));  // passes at 5, skip at 6, passes at 7, 8, 9
}
