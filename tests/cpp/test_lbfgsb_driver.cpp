// The L-BFGS-B driver on plain closures: every way a run can end, minima
// under each kind of bound, and runs on many threads at once.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "peltaro/estimation/lbfgsb_driver.hpp"
#include "test_functions.hpp"

namespace peltaro::estimation {
namespace {

using Closure = std::function<double(std::span<const double>, std::span<double>)>;

using test_functions::quadratic;
using test_functions::rosenbrock;

struct Outcome { TextResult<std::int64_t> result; Vec x; double f; };

Outcome run(Vec x0, Closure fn, BoundsList bounds = {}, LbfgsbOptions options = {},
            std::optional<FortranInt> nbd0 = {}) {
  auto problem = LbfgsbProblem<Closure>::build(std::move(x0), std::move(fn));
  problem.set_bounds(std::move(bounds));
  if (nbd0) problem.nbd[0] = *nbd0;
  LbfgsbState<Closure> state(std::move(problem), options);
  auto result = state.minimize();
  return {std::move(result), state.problem().x, state.problem().f};
}

std::string error_text(int code) {
  return "L-BFGS-B terminated with error (task code " + std::to_string(code) + ")";
}

TEST(LbfgsbDriver, RejectedInputsEndWithTheirErrorCodeBeforeAnyEvaluation) {
  const Closure never = [](auto, auto) {
    ADD_FAILURE() << "evaluated";
    return 0.0;
  };
  struct Case { Vec x0; LbfgsbOptions options; BoundsList bounds; std::optional<FortranInt> nbd0;
                int code; };
  const Case cases[] = {
      {{}, {}, {}, {}, 209},
      {{1.0}, {.m = 0}, {}, {}, 210},
      {{1.0}, {.factr = -1.0}, {}, {}, 211},
      {{1.0}, {}, {}, 4, 212},
      {{1.0}, {}, {}, -1, 212},
      {{1.0, 2.0}, {}, {{}, {2.0, 1.0}}, {}, 213},
  };
  for (const auto& c : cases) {
    const Outcome out = run(c.x0, never, c.bounds, c.options, c.nbd0);
    EXPECT_EQ(out.result, std::unexpected(error_text(c.code)));
  }
  auto problem = LbfgsbProblem<Closure>::build(Vec(2), never);
  EXPECT_THROW(problem.set_bounds(BoundsList(3)), std::logic_error);
}

TEST(LbfgsbDriver, ReachesBoundedMinimaOfAQuadraticAndRosenbrock) {
  struct Case { Closure fn; Vec x0; BoundsList bounds; Vec minimum; };
  const Case cases[] = {
      {quadratic, {0.0, 0.0, 0.0}, {}, {1.0, -2.0, 3.0}},
      {quadratic, {0.0, 0.0, 0.0}, {{-1.0, 0.5}, {-1.0, {}}, {{}, 2.0}}, {0.5, -1.0, 2.0}},
      {rosenbrock, {-1.2, 1.0}, {}, {1.0, 1.0}},
      {rosenbrock, {-1.2, 1.0}, {{{}, 0.5}}, {0.5, 0.25}},
      {rosenbrock, {-1.2, 1.0}, {{1.5, {}}}, {1.5, 2.25}},
      {rosenbrock, {-1.2, 1.0, -1.2, 1.0}, BoundsList(4, {-2.0, 2.0}), {1.0, 1.0, 1.0, 1.0}},
  };
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    const auto& c = cases[k];
    const Outcome out = run(c.x0, c.fn, c.bounds, {.factr = 10.0, .pgtol = 1e-12});
    ASSERT_TRUE(out.result && task_code::is_convergence(*out.result)) << "case " << k;
    for (std::size_t i = 0; i < c.minimum.size(); ++i) {
      EXPECT_NEAR(out.x[i], c.minimum[i], 1e-6) << "case " << k;
    }
    // f is the value at the returned point, not at a later trial point.
    Vec g(out.x.size());
    EXPECT_EQ(out.f, c.fn(out.x, g)) << "case " << k;
  }
}

TEST(LbfgsbDriver, StopsOnEitherConvergenceTest) {
  // At the minimum the projected gradient is zero; without a gradient
  // tolerance only the relative reduction can stop a run.
  EXPECT_EQ(run({1.0, -2.0, 3.0}, quadratic).result, task_code::CONVERGENCE_PGTOL);
  EXPECT_EQ(run({-1.2, 1.0}, rosenbrock, {}, {.pgtol = 0.0}).result, task_code::CONVERGENCE_FACTR);
}

TEST(LbfgsbDriver, LineSearchThatCannotDescendIsAnErrorAtTheLastIterate) {
  // A flat value under a gradient that promises descent: no step is accepted.
  const Closure flat = [](std::span<const double>, std::span<double> g) {
    std::ranges::fill(g, 1.0);
    return 3.0;
  };
  const Outcome out = run({1.0, 2.0}, flat);
  EXPECT_EQ(out.result, std::unexpected(error_text(3)));
  EXPECT_EQ(out.x, (Vec{1.0, 2.0}));
  EXPECT_EQ(out.f, 3.0);
}

// Run k of a family of distinct runs (starts, boxes and memory vary with k), as bits.
std::vector<std::uint64_t> run_number(int k) {
  const double s = 0.01 * (k % 97);
  BoundsList bounds(5);
  if (k % 3 == 1) bounds[1] = {-0.5, 0.8};
  if (k % 3 == 2) bounds[4] = {{}, 0.9 + s};
  const Outcome out = run({-1.2 + s, 1.0 - s, -0.5 + 2 * s, 0.3, 2.0 - s}, rosenbrock, bounds,
                          {.m = static_cast<std::size_t>(3 + k % 5)});
  std::vector<std::uint64_t> bits{static_cast<std::uint64_t>(out.result.value_or(-1)),
                                  std::bit_cast<std::uint64_t>(out.f)};
  for (double v : out.x) bits.push_back(std::bit_cast<std::uint64_t>(v));
  return bits;
}

TEST(LbfgsbDriver, RunsOnEightThreadsMatchTheSameRunsDoneSerially) {
  constexpr int THREADS = 8, RUNS = 1000;
  std::vector<std::vector<std::uint64_t>> serial(THREADS * RUNS), parallel(THREADS * RUNS);
  for (int k = 0; k < THREADS * RUNS; ++k) serial[k] = run_number(k);
  {
    std::vector<std::jthread> pool;
    for (int t = 0; t < THREADS; ++t) {
      pool.emplace_back([t, &parallel] {
        for (int r = 0; r < RUNS; ++r) parallel[t * RUNS + r] = run_number(t * RUNS + r);
      });
    }
  }
  for (int k = 0; k < THREADS * RUNS; ++k) ASSERT_EQ(parallel[k], serial[k]) << "run " << k;
}

}  // namespace
}  // namespace peltaro::estimation
