// The bounded runner: its box, its answer to each request, the budget, and
// its optima on public series against a peer's maximum likelihood.

#include <gtest/gtest.h>

#include <cmath>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/bounded_runner.hpp"
#include "runner_reference.hpp"
#include "score_fixtures.hpp"

namespace peltaro::estimation::runners {
namespace {

namespace fx = score_fixtures;
using core::Trend;
using fx::cfg;

TEST(ComputeBounds, BoxesFollowTheEnforcementFlags) {
  // Entry i of an order-k block: ±binomial(k, i)·0.999.
  const Bound free{}, unit{-0.999, 0.999}, two{-1.998, 1.998}, three{-2.997, 2.997},
      log_variance{-50.0, std::nullopt};
  SarimaxConfig seasonal = cfg({0, 0, 0, 1, 0, 2, 12});
  seasonal.enforce_invertibility = false;
  const std::pair<SarimaxConfig, BoundsList> cases[] = {
      {cfg({2, 0, 1, 0, 0, 0, 0}, Trend::None, 0, false, false), {two, unit, free, log_variance}},
      {cfg({3, 0, 0, 0, 0, 0, 0}, Trend::None, 0, false, false),
       {three, three, unit, log_variance}},
      {seasonal, {free, two, unit, log_variance}},
      {cfg({1, 0, 1, 0, 0, 0, 0}, Trend::ConstantLinear, 2, true, false),
       {free, free, free, free, unit, free}},
  };
  for (const auto& [config, bounds] : cases) {
    EXPECT_EQ(compute_bounds(config), bounds);
    EXPECT_EQ(bounds.size(), config.n_params());
  }
}

// −loglike = Σ (x_i − 1)²; no log-likelihood where x_0 > fails_above, and
// optionally one NaN in the analytic gradient.
struct FakeObjective {
  double fails_above = INFINITY;
  std::size_t nan_entry = SIZE_MAX;

  [[nodiscard]] FakeObjective clone() const { return *this; }
  [[nodiscard]] TextResult<double> eval_loglike(std::span<const double> x) const {
    if (x[0] > fails_above) return fail_text("no log-likelihood");
    return -((x[0] - 1.0) * (x[0] - 1.0) + (x[1] - 1.0) * (x[1] - 1.0));
  }
  [[nodiscard]] TextResult<std::pair<double, Vec>> eval_negloglike_with_gradient(
      std::span<const double> x) const {
    const auto ll = eval_loglike(x);
    if (!ll) return fail_text(ll.error());
    Vec g{2.0 * (x[0] - 1.0), 2.0 * (x[1] - 1.0)};
    if (nan_entry < 2) g[nan_entry] = NAN;
    return std::pair{-*ll, g};
  }
};

TEST(BudgetedEvaluation, AnswersEachRequestByTheFirstUsableRule) {
  // At (0.5, −1): value 4.25, gradient (−1, −4); the forward-difference
  // steps 1.5e-7 and 2e-7 add themselves to the entries.
  const Vec x{0.5, -1.0}, forward{-1.0 + 1.5e-7, -4.0 + 2e-7};
  struct Case { FakeObjective objective; std::size_t max_evals; double f; Vec g; std::size_t n; };
  const Case cases[] = {
      {{}, 5, 4.25, {-1.0, -4.0}, 1},
      {{.nan_entry = 1}, 5, 4.25, forward, 1},
      {{.fails_above = 0.5 + 1e-8, .nan_entry = 1}, 5, 4.25, {0.0, forward[1]}, 1},
      {{.fails_above = 0.0}, 5, PENALTY, {0.0, 0.0}, 1},
      {{}, 0, 4.25, {0.0, 0.0}, 0},
      {{.fails_above = 0.0}, 0, PENALTY, {0.0, 0.0}, 0},
  };
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    const auto& c = cases[k];
    BudgetedEvaluation<FakeObjective> eval(c.objective, c.max_evals, 2);
    Vec g(2, NAN);
    EXPECT_EQ(eval(x, g), c.f) << "case " << k;
    for (std::size_t i = 0; i < 2; ++i) EXPECT_NEAR(g[i], c.g[i], 3e-8) << "case " << k;
    EXPECT_EQ(eval.evals(), c.n) << "case " << k;
    EXPECT_EQ(eval.budget_exhausted(), c.max_evals == 0) << "case " << k;
  }
}

// Runs cut short: by the budget (counted in requests), by an objective that
// fails everywhere, and by an empty start.
TEST(RunLbfgsb, BudgetAndFailuresEndTheRunUnconverged) {
  const Vec lakehuron = fx::load_csv_column("lakehuron.csv", 1);
  SarimaxConfig config = cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant);
  config.enforce_stationarity = false;
  const SarimaxObjective objective(lakehuron, std::nullopt, config);
  for (const std::size_t budget : {0u, 1u, 5u, 12u}) {
    const auto r = run_lbfgsb(objective, {579.0, 1.5, 0.2, -60.0}, compute_bounds(config), budget);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->n_iter, budget);
    EXPECT_FALSE(r->converged) << "budget " << budget;
    if (budget == 0) {  // the start, projected into the box, and its value
      EXPECT_EQ(r->x, (Vec{579.0, 0.999, 0.2, -50.0}));
      EXPECT_EQ(r->f, -*objective.eval_loglike(r->x));
    }
  }
  const SarimaxObjective unbuildable(lakehuron, std::nullopt, cfg({1, 0, 0, 0, 2, 0, 4}));
  const auto r = run_lbfgsb(unbuildable, {0.2, 5.0}, {{-0.5, 0.1}, {}}, 50);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->x, (Vec{0.1, 5.0}));
  EXPECT_EQ(r->f, PENALTY);
  EXPECT_EQ(r->n_iter, 1u);
  EXPECT_FALSE(r->converged);
  const SarimaxConfig none = cfg({0, 0, 0, 0, 0, 0, 0}, Trend::None, 0, true);
  EXPECT_EQ(run_lbfgsb(SarimaxObjective(lakehuron, std::nullopt, none), {}, {}, 10),
            std::unexpected("L-BFGS-B failed: L-BFGS-B terminated with error (task code 209)"));
}

TEST(RunLbfgsb, ReachesThePeersMaximumLikelihoodInsideTheBox) {
  for (const auto& c : runner_reference::cases(true)) {
    const auto x0 = core::transform_params_inner(c.start, c.config, false);
    const SarimaxObjective objective(c.y, std::nullopt, c.config);
    const auto r = run_lbfgsb(objective, *x0, compute_bounds(c.config), 500);
    ASSERT_TRUE(r && r->converged) << c.name;
    EXPECT_NEAR(-r->f, c.loglike, 1e-8 * std::fabs(c.loglike)) << c.name;
  }
}

}  // namespace
}  // namespace peltaro::estimation::runners
