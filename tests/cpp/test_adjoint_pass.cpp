#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/score/adjoint_pass.hpp"
#include "score_fixtures.hpp"

namespace core = peltaro::core;
namespace score = peltaro::score;
namespace fx = peltaro::score_fixtures;
using core::Columns, core::SarimaxConfig, core::Trend, core::Vec, fx::cfg;

namespace {

struct Case {
  std::string name;
  SarimaxConfig config;
  Vec theta;
  Vec y;
  std::optional<Columns> exog;
};

Vec percent(Vec x) {
  for (double& v : x) v *= 100.0;
  return x;
}

std::vector<Case> cases() {
  const Vec air = percent(fx::log_of(fx::load_csv_column("airpassengers.csv", 1)));
  const Vec ar2 = fx::simulate_arma(300, {0.5, -0.3}, {}, 11);
  const Columns x{fx::simulate_normal(300, 12), fx::simulate_normal(300, 13)};
  return {
      // Never steady, and no coefficient that moves T: P·Z alone is kept.
      {"airline", cfg({0, 1, 1, 0, 1, 1, 12}), {-0.4, -0.6, 14.0}, air, {}},
      {"(2,1,2)(1,1,1,12)", cfg({2, 1, 2, 1, 1, 1, 12}), {0.3, -0.2, -0.5, 0.1, 0.2, -0.5, 13.0},
       air, {}},
      // Steady after a few dozen steps: planned for all 300, it runs fewer.
      {"AR(2) + 2 regressors, concentrated", cfg({2, 0, 0, 0, 0, 0, 0}, Trend::None, 2, true),
       {1.5, -0.7, 0.45, -0.25}, ar2, x},
      {"lake AR(2) + linear trend", cfg({2, 0, 0, 0, 0, 0, 0}, Trend::ConstantLinear),
       {120.0, -0.02, 1.0, -0.25, 0.48}, fx::load_csv_column("lakehuron.csv", 1), {}},
  };
}

// One case's system, and its pass at a budget given as a number of steps'
// vectors (2m values each at most) and of stored states (m + m² each).
struct Model {
  explicit Model(const Case& c)
      : config(c.config),
        ev(fx::build(c.config, c.theta, c.y, c.exog ? &*c.exog : nullptr)),
        derivs(score::precompute_derivatives(c.config, ev.params, ev.ss, ev.series.size(),
                                             ev.cols())),
        system(ev.ss),
        m(ev.ss.k_states) {}

  [[nodiscard]] std::size_t budget(std::size_t steps, std::size_t states) const {
    return steps * 2 * m + states * (m + m * m);
  }
  [[nodiscard]] score::AdjointPass pass(std::size_t budget) const {
    score::AdjointPass out(ev.series, ev.ss, ev.init, derivs, system, budget);
    out.run_forward();
    return out;
  }
  [[nodiscard]] double scale(const score::AdjointPass& pass) const {
    const auto n_eff = static_cast<double>(ev.series.size() - ev.init.burn);
    return config.concentrate_scale ? pass.sums().sumsq / n_eff : 1.0;
  }

  SarimaxConfig config;
  fx::Evaluation ev;
  score::SystemDerivatives derivs;
  core::FilterSystem system;
  std::size_t m;
};

}  // namespace

TEST(AdjointPass, SegmentsRunAgainGiveTheGradientOfTheWholeTapeBitForBit) {
  const std::pair<std::size_t, std::size_t> budgets[] = {{1, 0}, {3, 0}, {4, 3}, {16, 1}, {2, 40}};
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const Model model(c);
    auto whole = model.pass(std::size_t{1} << 40);
    const double s2 = model.scale(whole);
    const Vec expected = whole.gradient(s2);
    ASSERT_EQ(whole.steps_run_again(), 0u);
    const std::size_t active = whole.sums().steady_from.value_or(model.ev.series.size());

    for (const auto& [steps, states] : budgets) {
      SCOPED_TRACE(testing::Message() << steps << " steps, " << states << " states");
      const std::size_t budget = model.budget(steps, states);
      auto pass = model.pass(budget);
      EXPECT_EQ(pass.sums().sumsq, whole.sums().sumsq);
      EXPECT_EQ(pass.gradient(s2), expected);
      EXPECT_EQ(pass.steps_run_again() > 0, active > pass.plan().segment);
      EXPECT_LE(pass.values_held(), budget);
      // A second way back, with the first pass's values and states spent.
      EXPECT_EQ(pass.gradient(s2), expected);
    }
  }
}

TEST(AdjointPass, SegmentsRunAgainGiveTheFiniteDifferenceOfTheLogLikelihood) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const Model model(c);
    auto pass = model.pass(model.budget(4, 3));
    const Vec g = pass.gradient(model.scale(pass));
    const Vec fd = fx::fd_gradient(c.config, c.theta, c.y, c.exog ? &*c.exog : nullptr);
    for (std::size_t j = 0; j < g.size(); ++j) {
      EXPECT_LE(std::fabs(g[j] - fd[j]) / std::fmax(1.0, std::fabs(fd[j])), 1e-6)
          << "parameter " << j << ": " << g[j] << " against " << fd[j];
    }
  }
}
