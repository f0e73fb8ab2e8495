// The bounded runner: its box, its answer to each request, the budget, and
// its optima on public series against a peer's maximum likelihood.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <numeric>
#include <sstream>
#include <string>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/bounded_runner.hpp"
#include "score_fixtures.hpp"

namespace peltaro::estimation::runners {
namespace {

namespace fx = score_fixtures;
using core::Trend;
using fx::cfg;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
const Bound FREE{};
const Bound UNIT{-0.999, 0.999};
const Bound LOG_VARIANCE{-50.0, std::nullopt};

TEST(ComputeBounds, BoxesFollowTheEnforcementFlags) {
  SarimaxConfig seasonal = cfg({0, 0, 0, 1, 0, 2, 12});
  seasonal.enforce_invertibility = false;
  SarimaxConfig everything = cfg({1, 1, 1, 1, 0, 1, 4}, Trend::ConstantLinear, 2, true, false);
  const struct {
    const char* name;
    SarimaxConfig config;
    BoundsList bounds;
  } cases[] = {
      {"AR(2) as it stands, MA(1) enforced", cfg({2, 0, 1, 0, 0, 0, 0}, Trend::None, 0, false, false),
       {UNIT, UNIT, FREE, LOG_VARIANCE}},
      {"seasonal blocks follow their flags", seasonal, {FREE, UNIT, UNIT, LOG_VARIANCE}},
      {"trend and regressors free, scale concentrated",
       everything,
       {FREE, FREE, FREE, FREE, UNIT, FREE, UNIT, FREE}},
      {"white noise", cfg({0, 0, 0, 0, 0, 0, 0}), {LOG_VARIANCE}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(compute_bounds(c.config), c.bounds) << c.name;
    EXPECT_EQ(c.bounds.size(), c.config.n_params()) << c.name;
  }
}

// Calls a fake objective (and its clones) received.
struct Calls {
  std::size_t with_gradient = 0, loglike = 0;
};

// −loglike = Σ (x_i − 1)², with switches for each way an evaluation can go
// wrong.
struct FakeObjective {
  double fails_above = std::numeric_limits<double>::infinity();  // x_0 beyond: no log-likelihood
  bool gradient_fails = false;
  std::size_t nan_entry = std::numeric_limits<std::size_t>::max();
  double value_offset = 0.0;  // added to the analytic value
  bool flat = false;          // the analytic value is 3 everywhere, the gradient unchanged
  Calls* calls = nullptr;

  [[nodiscard]] FakeObjective clone() const { return *this; }

  [[nodiscard]] TextResult<double> eval_loglike(std::span<const double> x) const {
    if (calls) ++calls->loglike;
    return loglike(x);
  }

  [[nodiscard]] TextResult<std::pair<double, Vec>> eval_negloglike_with_gradient(
      std::span<const double> x) const {
    if (calls) ++calls->with_gradient;
    if (gradient_fails) return fail_text("no gradient");
    auto ll = loglike(x);
    if (!ll) return fail_text(ll.error());
    Vec g(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) g[i] = 2.0 * (x[i] - 1.0);
    if (nan_entry < g.size()) g[nan_entry] = NaN;
    return std::pair{flat ? 3.0 : -*ll + value_offset, g};
  }

 private:
  [[nodiscard]] TextResult<double> loglike(std::span<const double> x) const {
    if (x[0] > fails_above) return fail_text("no log-likelihood");
    double s = 0.0;
    for (double v : x) s += (v - 1.0) * (v - 1.0);
    return -s;
  }
};

TEST(BudgetedEvaluation, AnswersEachRequestByTheFirstUsableRule) {
  // At x = (0.5, −1): f = 4.25, analytic gradient (−1, −4); forward
  // differences with steps 1.5e-7 and 2e-7 add the step to each entry.
  const Vec x{0.5, -1.0};
  const Vec analytic{-1.0, -4.0}, forward{-1.0 + 1.5e-7, -4.0 + 2e-7};
  const struct {
    const char* name;
    FakeObjective objective;
    std::size_t max_evals;
    double f;
    Vec g;
    std::size_t evals;
    bool exhausted;
  } cases[] = {
      {"analytic", {}, 5, 4.25, analytic, 1, false},
      {"NaN gradient entry", {.nan_entry = 1}, 5, 4.25, forward, 1, false},
      {"infinite value", {.value_offset = INFINITY}, 5, 4.25, forward, 1, false},
      {"no gradient", {.gradient_fails = true}, 5, 4.25, forward, 1, false},
      {"step leaves the domain", {.fails_above = 0.5 + 1e-8, .gradient_fails = true}, 5, 4.25,
       {0.0, forward[1]}, 1, false},
      {"no value", {.fails_above = 0.0}, 5, PENALTY, {0.0, 0.0}, 1, false},
      {"budget spent", {}, 0, 4.25, {0.0, 0.0}, 0, true},
      {"budget spent, no value", {.fails_above = 0.0}, 0, PENALTY, {0.0, 0.0}, 0, true},
  };
  for (const auto& c : cases) {
    BudgetedEvaluation<FakeObjective> eval(c.objective, c.max_evals, x.size());
    Vec g(2, NaN);
    EXPECT_EQ(eval(x, g), c.f) << c.name;
    for (std::size_t i = 0; i < 2; ++i) EXPECT_NEAR(g[i], c.g[i], 3e-8) << c.name << ", entry " << i;
    EXPECT_EQ(eval.evals(), c.evals) << c.name;
    EXPECT_EQ(eval.budget_exhausted(), c.exhausted) << c.name;
  }
}

TEST(RunLbfgsb, DifferenceGradientPassesAreNotCounted) {
  Calls calls;
  const auto r = run_lbfgsb(FakeObjective{.nan_entry = 0, .calls = &calls}, {3.0, -2.0}, {}, 100);
  ASSERT_TRUE(r) << r.error();
  EXPECT_TRUE(r->converged);
  EXPECT_NEAR(r->x[0], 1.0, 1e-5);
  EXPECT_NEAR(r->x[1], 1.0, 1e-5);
  // One count per request; each request cost n + 1 = 3 value passes.
  EXPECT_EQ(r->n_iter, calls.with_gradient);
  EXPECT_EQ(calls.loglike, 3 * calls.with_gradient);
}

Vec lakehuron() { return fx::load_csv_column("lakehuron.csv", 1); }
const SarimaxConfig ARMA11_C = cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant);

TEST(RunLbfgsb, BudgetIsCountedInRequestsAndEndsTheRunUnconverged) {
  const SarimaxObjective objective(lakehuron(), std::nullopt, ARMA11_C);
  for (const std::size_t budget : {1u, 2u, 5u, 12u}) {
    const auto r = run_lbfgsb(objective, {579.0, 0.0, 0.0, 0.0}, compute_bounds(ARMA11_C), budget);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->n_iter, budget);
    EXPECT_FALSE(r->converged) << "budget " << budget;
  }
}

TEST(RunLbfgsb, ZeroBudgetReturnsTheProjectedStartAndItsValue) {
  SarimaxConfig config = ARMA11_C;
  config.enforce_stationarity = false;
  const SarimaxObjective objective(lakehuron(), std::nullopt, config);
  const auto r = run_lbfgsb(objective, {579.0, 1.5, 0.2, -60.0}, compute_bounds(config), 0);
  ASSERT_TRUE(r) << r.error();
  const Vec projected{579.0, 0.999, 0.2, -50.0};
  EXPECT_EQ(r->x, projected);
  EXPECT_EQ(r->f, -*objective.eval_loglike(projected));
  EXPECT_EQ(r->n_iter, 0u);
  EXPECT_FALSE(r->converged);
}

TEST(RunLbfgsb, EmptyStartIsTheRoutinesInputError) {
  const SarimaxConfig none = cfg({0, 0, 0, 0, 0, 0, 0}, Trend::None, 0, true);
  const SarimaxObjective objective(lakehuron(), std::nullopt, none);
  const auto r = run_lbfgsb(objective, {}, compute_bounds(none), 10);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "L-BFGS-B failed: L-BFGS-B terminated with error (task code 209)");
}

TEST(RunLbfgsb, RoutineErrorsAreTheRunnersErrors) {
  const struct {
    const char* name;
    FakeObjective objective;
    BoundsList bounds;
    int code;
  } cases[] = {
      {"lower above upper", {}, {{}, {5.0, 1.0}}, 213},
      {"flat value under a descending gradient: no step is accepted", {.flat = true}, {}, 3},
  };
  for (const auto& c : cases) {
    const auto r = run_lbfgsb(c.objective, {3.0, -2.0}, c.bounds, 100);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error(), "L-BFGS-B failed: L-BFGS-B terminated with error (task code " +
                             std::to_string(c.code) + ")")
        << c.name;
  }
}

TEST(RunLbfgsb, ObjectiveThatFailsEverywhereHasNotConverged) {
  const SarimaxConfig unbuildable = cfg({1, 0, 0, 0, 2, 0, 4});
  const SarimaxObjective objective(lakehuron(), std::nullopt, unbuildable);
  const auto r = run_lbfgsb(objective, {0.2, 5.0}, {{-0.5, 0.1}, {}}, 50);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->x, (Vec{0.1, 5.0}));
  EXPECT_EQ(r->f, PENALTY);
  EXPECT_EQ(r->n_iter, 1u);
  EXPECT_FALSE(r->converged);
}

struct Reference {
  double loglike;
  Vec params;
};

// Maximum log-likelihoods by statsmodels (tests/data/make_runner_reference.py).
std::map<std::string, Reference> references() {
  std::ifstream in(PELTARO_DATA_DIR "/../tests/data/runner_reference.csv");
  std::map<std::string, Reference> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::stringstream ss(line);
    std::string name, cell;
    std::getline(ss, name, ',');
    std::getline(ss, cell, ',');
    Reference ref{std::stod(cell), {}};
    while (std::getline(ss, cell, ',')) ref.params.push_back(std::stod(cell));
    out.emplace(name, ref);
  }
  return out;
}

TEST(RunLbfgsb, ReachesThePeersMaximumLikelihoodInsideTheBox) {
  Vec nile = fx::load_csv_column("nile.csv", 1);
  for (double& v : nile) v /= 100.0;
  Vec lynx = fx::load_csv_column("lynx.csv", 1);
  for (double& v : lynx) v = std::log10(v);
  const Vec air = fx::load_csv_column("airpassengers.csv", 1);
  Vec air100(air.size());
  for (std::size_t i = 0; i < air.size(); ++i) air100[i] = 100.0 * std::log(air[i]);
  const auto mean = [](const Vec& y) { return std::accumulate(y.begin(), y.end(), 0.0) / y.size(); };
  Vec huron = lakehuron();
  for (double& v : huron) v -= 579.0;
  const auto refs = references();

  // Starts in model coordinates: zero coefficients and unit variance, or
  // for the constant a persistent AR part with the constant that keeps the
  // series' mean.
  const struct {
    const char* name;
    SarimaxConfig config;
    Vec y;
    Vec start;
  } cases[] = {
      {"lakehuron_arma11", cfg({1, 0, 1, 0, 0, 0, 0}), huron, {0.0, 0.0, 1.0}},
      {"nile_ima11", cfg({0, 1, 1, 0, 0, 0, 0}), nile, {0.0, 1.0}},
      {"airline", cfg({0, 1, 1, 0, 1, 1, 12}), air100, {0.0, 0.0, 1.0}},
      {"lynx_ar2_c_fixed", cfg({2, 0, 0, 0, 0, 0, 0}, Trend::Constant, 0, false, false), lynx,
       {0.3 * mean(lynx), 0.7, 0.0, 1.0}},
  };
  for (const auto& c : cases) {
    const Reference& ref = refs.at(c.name);
    const SarimaxObjective objective(c.y, std::nullopt, c.config);
    const Vec x0 = *core::transform_params_inner(c.start, c.config, false);
    const auto r = run_lbfgsb(objective, x0, compute_bounds(c.config), 500);
    ASSERT_TRUE(r) << c.name << ": " << r.error();
    EXPECT_TRUE(r->converged) << c.name;
    EXPECT_NEAR(-r->f, ref.loglike, 1e-8 * std::fabs(ref.loglike)) << c.name;
    const Vec params = *core::transform_params_inner(r->x, c.config, true);
    for (std::size_t i = 0; i < params.size(); ++i) {
      EXPECT_NEAR(params[i], ref.params[i], 1e-4 * std::fmax(1.0, std::fabs(ref.params[i])))
          << c.name << ", parameter " << i;
    }
  }
}

}  // namespace
}  // namespace peltaro::estimation::runners
