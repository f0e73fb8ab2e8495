// The L-BFGS-B driver on plain closures: the task texts, every way a run can
// end, minima under each kind of bound, and runs on many threads at once.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "peltaro/estimation/lbfgsb_driver.hpp"

namespace peltaro::estimation {
namespace {

using Closure = std::function<double(std::span<const double>, std::span<double>)>;

// Σ w_i (x_i − c_i)² with w = (1, 10, 100), c = (1, −2, 3).
double quadratic(std::span<const double> x, std::span<double> g) {
  static constexpr double w[] = {1.0, 10.0, 100.0}, c[] = {1.0, -2.0, 3.0};
  double f = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    f += w[i] * (x[i] - c[i]) * (x[i] - c[i]);
    g[i] = 2.0 * w[i] * (x[i] - c[i]);
  }
  return f;
}

// The chained Rosenbrock function Σ 100 (x_{i+1} − x_i²)² + (1 − x_i)².
double rosenbrock(std::span<const double> x, std::span<double> g) {
  double f = 0.0;
  for (double& v : g) v = 0.0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    const double a = x[i + 1] - x[i] * x[i], b = 1.0 - x[i];
    f += 100.0 * a * a + b * b;
    g[i] += -400.0 * a * x[i] - 2.0 * b;
    g[i + 1] += 200.0 * a;
  }
  return f;
}

struct Outcome {
  TextResult<std::int64_t> result;
  Vec x;
  double f;
  int calls;
};

// One run of `fn`, counting its calls; `tweak` may edit the problem first.
Outcome run(Vec x0, Closure fn, BoundsList bounds, LbfgsbOptions options = {},
            const std::function<void(LbfgsbProblem<Closure>&)>& tweak = {}) {
  int calls = 0;
  Closure counted = [&calls, fn](std::span<const double> x, std::span<double> g) {
    ++calls;
    return fn(x, g);
  };
  auto problem = LbfgsbProblem<Closure>::build(std::move(x0), counted);
  problem.set_bounds(std::move(bounds));
  if (tweak) tweak(problem);
  LbfgsbState<Closure> state(std::move(problem), options);
  auto result = state.minimize();
  return {std::move(result), state.problem().x, state.problem().f, calls};
}

TEST(TaskCode, ReadsPaddedTextsAndFallsBackToTheKind) {
  const struct {
    std::string text;
    std::int64_t code;
  } cases[] = {
      {"NEW_X" + std::string(55, ' '), task_code::NEW_X},
      {"FG_LNSRCH", task_code::FG_LNSRCH},
      {"FG", task_code::FG},
      {"CONVERGENCE: SOMETHING ELSE", task_code::CONVERGENCE},
      {"ERROR: STP .LT. STPMIN", task_code::ERROR},
      {"STOP: CPU", task_code::UNKNOWN},
      {std::string(60, ' '), task_code::UNKNOWN},
  };
  for (const auto& c : cases) EXPECT_EQ(task_code_of(c.text), c.code) << '"' << c.text << '"';
}

TEST(LbfgsbDriver, RejectedInputsEndWithTheirErrorCodeBeforeAnyEvaluation) {
  const auto nbd0 = [](FortranInt kind) {
    return [kind](LbfgsbProblem<Closure>& p) { p.nbd[0] = kind; };
  };
  const struct {
    const char* name;
    Vec x0;
    LbfgsbOptions options;
    BoundsList bounds;
    std::function<void(LbfgsbProblem<Closure>&)> tweak;
    int code;
  } cases[] = {
      {"no coordinates", {}, {}, {}, {}, 209},
      {"no correction pairs", {1.0, 2.0}, {.m = 0}, {}, {}, 210},
      {"negative factr", {1.0, 2.0}, {.factr = -1.0}, {}, {}, 211},
      {"bound kind 4", {1.0, 2.0}, {}, {}, nbd0(4), 212},
      {"bound kind -1", {1.0, 2.0}, {}, {}, nbd0(-1), 212},
      {"lower above upper", {1.0, 2.0}, {}, {{}, {2.0, 1.0}}, {}, 213},
  };
  for (const auto& c : cases) {
    const Outcome out = run(c.x0, rosenbrock, c.bounds, c.options, c.tweak);
    ASSERT_FALSE(out.result) << c.name;
    EXPECT_EQ(out.result.error(),
              "L-BFGS-B terminated with error (task code " + std::to_string(c.code) + ")")
        << c.name;
    EXPECT_EQ(out.calls, 0) << c.name;
  }
}

TEST(LbfgsbDriver, ReachesBoundedMinimaOfAQuadraticAndRosenbrock) {
  const LbfgsbOptions tight{.factr = 10.0, .pgtol = 1e-12};
  const struct {
    const char* name;
    Closure fn;
    Vec x0;
    BoundsList bounds;
    Vec minimum;
  } cases[] = {
      {"quadratic, free", quadratic, {0.0, 0.0, 0.0}, {}, {1.0, -2.0, 3.0}},
      {"quadratic, one bound of each kind active",
       quadratic,
       {0.0, 0.0, 0.0},
       {{-1.0, 0.5}, {-1.0, {}}, {{}, 2.0}},
       {0.5, -1.0, 2.0}},
      {"Rosenbrock, free", rosenbrock, {-1.2, 1.0}, {}, {1.0, 1.0}},
      {"Rosenbrock, x0 <= 0.5", rosenbrock, {-1.2, 1.0}, {{{}, 0.5}}, {0.5, 0.25}},
      {"Rosenbrock, x0 >= 1.5", rosenbrock, {-1.2, 1.0}, {{1.5, {}}}, {1.5, 2.25}},
      {"Rosenbrock, 4 coordinates in a box",
       rosenbrock,
       {-1.2, 1.0, -1.2, 1.0},
       {{-2.0, 2.0}, {-2.0, 2.0}, {-2.0, 2.0}, {-2.0, 2.0}},
       {1.0, 1.0, 1.0, 1.0}},
  };
  for (const auto& c : cases) {
    const Outcome out = run(c.x0, c.fn, c.bounds, tight);
    ASSERT_TRUE(out.result) << c.name << ": " << out.result.error();
    EXPECT_TRUE(task_code::is_convergence(*out.result)) << c.name << ": " << *out.result;
    for (std::size_t i = 0; i < c.minimum.size(); ++i) {
      EXPECT_NEAR(out.x[i], c.minimum[i], 1e-6) << c.name << ", coordinate " << i;
    }
    // f is the value at the returned point, not at some later trial point.
    Vec g(out.x.size());
    EXPECT_EQ(out.f, c.fn(out.x, g)) << c.name;
  }
}

TEST(LbfgsbDriver, StopsOnEitherConvergenceTest) {
  // At the minimum the projected gradient is zero after the first request.
  const Outcome at_minimum = run({1.0, -2.0, 3.0}, quadratic, {});
  ASSERT_TRUE(at_minimum.result);
  EXPECT_EQ(*at_minimum.result, task_code::CONVERGENCE_PGTOL);
  EXPECT_EQ(at_minimum.calls, 1);
  // Without a gradient tolerance only the relative reduction can stop it.
  const Outcome no_pgtol = run({-1.2, 1.0}, rosenbrock, {}, {.pgtol = 0.0});
  ASSERT_TRUE(no_pgtol.result);
  EXPECT_EQ(*no_pgtol.result, task_code::CONVERGENCE_FACTR);
}

TEST(LbfgsbDriver, LineSearchThatCannotDescendIsAnErrorAtTheLastIterate) {
  // A flat value under a gradient that promises descent: no step is accepted.
  const Closure flat = [](std::span<const double>, std::span<double> g) {
    for (double& v : g) v = 1.0;
    return 3.0;
  };
  const Outcome out = run({1.0, 2.0}, flat, {});
  ASSERT_FALSE(out.result);
  EXPECT_EQ(out.result.error(), "L-BFGS-B terminated with error (task code 3)");
  EXPECT_EQ(out.x, (Vec{1.0, 2.0}));
  EXPECT_EQ(out.f, 3.0);
}

TEST(LbfgsbDriver, StartOutsideTheBoxIsProjectedBeforeTheFirstRequest) {
  Vec first;
  const Closure record = [&first](std::span<const double> x, std::span<double> g) {
    if (first.empty()) first.assign(x.begin(), x.end());
    return quadratic(x, g);
  };
  run({5.0, -7.0, 0.0}, record, {{-1.0, 2.0}, {-3.0, {}}});
  EXPECT_EQ(first, (Vec{2.0, -3.0, 0.0}));
}

TEST(LbfgsbProblem, SetBoundsGivesEachPairItsKindAndLeavesTheRestFree) {
  auto p = LbfgsbProblem<Closure>::build(Vec(5, 0.0), quadratic);
  p.set_bounds({{-1.0, 2.0}, {-3.0, {}}, {{}, 4.0}, {}});
  EXPECT_EQ(p.l, (Vec{-1.0, -3.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(p.u, (Vec{2.0, 0.0, 4.0, 0.0, 0.0}));
  EXPECT_EQ(p.nbd, (std::vector<FortranInt>{2, 1, 3, 0, 0}));
}

TEST(LbfgsbProblem, SetBoundsRefusesMoreEntriesThanCoordinates) {
  auto p = LbfgsbProblem<Closure>::build(Vec(2, 0.0), quadratic);
  try {
    p.set_bounds({{}, {}, {0.0, 1.0}});
    FAIL() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "L-BFGS-B: 3 bounds for 2 coordinates");
  }
  EXPECT_EQ(p.nbd, (std::vector<FortranInt>{0, 0}));
}

// A run's whole outcome as bits, so that two runs compare exactly.
struct Fingerprint {
  std::vector<std::uint64_t> bits;
  std::int64_t code;
  int calls;
  bool operator==(const Fingerprint&) const = default;
};

// Run k of a family of distinct runs: starts and boxes vary with k.
Fingerprint run_number(int k) {
  const double s = 0.01 * (k % 97);
  const Vec x0{-1.2 + s, 1.0 - s, -0.5 + 2 * s, 0.3, 2.0 - s};
  BoundsList bounds(5);
  if (k % 3 == 1) bounds[1] = {-0.5, 0.8};
  if (k % 3 == 2) bounds[4] = {{}, 0.9 + s};
  const Outcome out = run(x0, rosenbrock, bounds, {.m = static_cast<std::size_t>(3 + k % 5)});
  Fingerprint fp{{}, out.result ? *out.result : -1, out.calls};
  for (double v : out.x) fp.bits.push_back(std::bit_cast<std::uint64_t>(v));
  fp.bits.push_back(std::bit_cast<std::uint64_t>(out.f));
  return fp;
}

TEST(LbfgsbDriver, RunsOnEightThreadsMatchTheSameRunsDoneSerially) {
  constexpr int THREADS = 8, RUNS = 1000;
  std::vector<Fingerprint> serial(THREADS * RUNS), parallel(THREADS * RUNS);
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
