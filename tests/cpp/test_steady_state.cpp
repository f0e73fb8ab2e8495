// The steady-state rule on covariance sequences built by hand, where the
// drift still to come after every step is known exactly.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <random>
#include <string>

#include "peltaro/core/kalman/steady_state.hpp"

using peltaro::core::SteadyStateOptions;
using peltaro::core::SteadyStateRule;
using peltaro::core::StateCovariance;

namespace {

using Sequence = std::function<Eigen::MatrixXd(std::size_t)>;

// Feeds P(t + 1) against P(t) after every step t < n; the step whose check
// says to freeze, if any.
std::optional<std::size_t> switch_step(const Sequence& P, std::size_t n, std::size_t burn = 0) {
  SteadyStateRule rule(burn);
  StateCovariance now(P(0));
  for (std::size_t t = 0; t < n; ++t) {
    StateCovariance next(P(t + 1));
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

double relative(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b, const Eigen::MatrixXd& scale) {
  return (a - b).norm() / scale.trace();
}

}  // namespace

// P(t) = L + ρ^t·D: after the step that predicts P(t + 1) the drift still to
// come is exactly ρ^(t+1)·‖D‖. A rule asking only for a change below 1e-9
// three times would leave ρ/(1 − ρ) times that: 49e-9 at ρ = 0.98.
TEST(SteadyStateRule, FreezesOnlyOnceTheDriftStillToComeIsBelowTheTolerance) {
  struct Case {
    double rho;
    bool prompt;  // whether the rate can be read in time to switch within a few steps
                  // (near a unit root only the rounding floor switches)
  };
  const double tol = SteadyStateOptions{}.tolerance;
  for (const Case c : {Case{0.3, true}, Case{0.9, true}, Case{0.98, true}, Case{0.997, true},
                       Case{0.9999, false}}) {
    SCOPED_TRACE("rho " + std::to_string(c.rho));
    const Sequence P = [&](std::size_t t) {
      return Eigen::MatrixXd(LIMIT + std::pow(c.rho, static_cast<double>(t)) * DIRECTION);
    };
    const std::size_t n = 400000;
    const auto s = switch_step(P, n);
    ASSERT_TRUE(s.has_value());
    EXPECT_LE(relative(LIMIT, P(*s + 1), P(*s)), tol);
    std::size_t below = 0;
    while (relative(LIMIT, P(below + 1), P(below)) >= tol) ++below;
    // A rate is read only from changes below the tolerance, which at fast
    // rates comes a step or two after the drift itself; then three checks.
    if (c.prompt) {
      EXPECT_LE(*s, below + 4) << "the drift fell below the tolerance at step " << below;
    }
  }
}

// The same approach in other units (P scaled by c) switches at the same step,
// also where squares of its changes would leave the range of doubles.
TEST(SteadyStateRule, TheUnitsOfTheCovarianceDoNotMoveTheSwitch) {
  const auto at_scale = [](double c) {
    return switch_step([c](std::size_t t) {
      return Eigen::MatrixXd(c * (LIMIT + std::pow(0.9, static_cast<double>(t)) * DIRECTION));
    }, 1000);
  };
  const auto unit = at_scale(1.0);
  ASSERT_TRUE(unit.has_value());
  for (const double c : {1e-300, 1e-200, 1e-20, 1e20, 1e200, 1e300}) {
    EXPECT_EQ(at_scale(c), unit) << "c = " << c;
  }
}

TEST(SteadyStateRule, NeverFreezesWhileTheChangesDoNotShrinkSteadily) {
  struct Case {
    const char* name;
    std::function<double(std::size_t)> weight;  // P(t) = L + weight(t)·D
  };
  const Case cases[] = {
      {"a constant change", [](std::size_t t) { return 1e-12 * static_cast<double>(t); }},
      {"growing changes", [](std::size_t t) { return 1e-9 * std::pow(1.01, static_cast<double>(t)); }},
      // Steps alternately move 1e-11 and 1e-10 along D: every other ratio is
      // small, and the next one large.
      {"alternating changes",
       [](std::size_t t) { return 1.1e-10 * static_cast<double>(t / 2) + (t % 2 == 1 ? 1e-11 : 0.0); }},
  };
  for (const Case& c : cases) {
    const Sequence P = [&](std::size_t t) { return Eigen::MatrixXd(LIMIT + c.weight(t) * DIRECTION); };
    EXPECT_FALSE(switch_step(P, 2000).has_value()) << c.name;
  }
}

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
  const StateCovariance P(LIMIT);
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

namespace {

// The rule's test without its shortcut: the whole change at every check.
class FullTest {
 public:
  bool after_update(std::size_t t, const Eigen::MatrixXd& p_new, const Eigen::MatrixXd& p_old) {
    const SteadyStateOptions o;
    if (t < o.first_check) return false;
    const double change = (p_new - p_old).norm() / p_old.trace();
    bool pass = change <= o.rounding_floor;
    if (!pass && last_ < o.tolerance && last_ - change > o.rate_resolution) {
      const double rho = change / last_;
      pass = change * rho / (1.0 - rho) < o.tolerance;
    }
    passed_ = pass ? passed_ + 1 : 0;
    last_ = change;
    return pass && passed_ >= o.checks_in_a_row;
  }

 private:
  double last_ = std::nan("");
  int passed_ = 0;
};

}  // namespace

// Random sequences whose changes cross the tolerance, some moving only the
// diagonal and some only the entries off it. The rule, which skips the
// off-diagonal sum when the diagonal alone changes too much, must decide as
// the full test at every step, including the steps after a skipped one.
TEST(SteadyStateRule, TheDiagonalShortcutDecidesAsTheFullTest) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  enum class Moves { All, Diagonal, OffDiagonal };
  int switches = 0;
  for (const Moves moves : {Moves::All, Moves::Diagonal, Moves::OffDiagonal}) {
    for (int run = 0; run < 40; ++run) {
      const Eigen::Index m = 5;
      Eigen::MatrixXd A = Eigen::MatrixXd::NullaryExpr(m, m, [&] { return u(rng); });
      Eigen::MatrixXd P = A * A.transpose() + Eigen::MatrixXd::Identity(m, m);
      // Exchanged after each check as the recursions exchange theirs.
      StateCovariance now(P), later;
      SteadyStateRule rule(0);
      FullTest full;
      // Changes shrink by a random factor per step, from 1e-7 down, with
      // occasional jumps back up.
      double size = 1e-7 * P.trace();
      for (std::size_t t = 0; t < 200; ++t) {
        Eigen::MatrixXd D = Eigen::MatrixXd::NullaryExpr(m, m, [&] { return u(rng); });
        D = 0.5 * (D + D.transpose()).eval();
        if (moves == Moves::Diagonal) D = Eigen::MatrixXd(D.diagonal().asDiagonal());
        if (moves == Moves::OffDiagonal) D.diagonal().setZero();
        Eigen::MatrixXd next = P + (size / D.norm()) * D;
        later = StateCovariance(next);
        const bool got = rule.after_update(t, later, now);
        ASSERT_EQ(got, full.after_update(t, next, P)) << "run " << run << " step " << t;
        switches += got;
        if (got) break;
        P.swap(next);
        now.swap(later);
        size *= u(rng) > 0.9 ? 30.0 : 0.3 + 0.3 * std::fabs(u(rng));
      }
    }
  }
  EXPECT_GT(switches, 20);  // the runs reach the switch, not only the failures
}
