#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "peltaro/estimation/engine/executor.hpp"
#include "peltaro/estimation/engine/inverse_hessian.hpp"
#include "peltaro/estimation/engine/limited_memory.hpp"
#include "peltaro/estimation/engine/more_thuente.hpp"
#include "peltaro/estimation/engine/nelder_mead.hpp"
#include "peltaro/estimation/engine/quasi_newton.hpp"

namespace {

using namespace peltaro::estimation;
using namespace peltaro::estimation::engine;
using Eigen::MatrixXd;
using Eigen::VectorXd;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

VectorXd vec(std::initializer_list<double> values) {
  VectorXd v(static_cast<Eigen::Index>(values.size()));
  Eigen::Index i = 0;
  for (double x : values) v(i++) = x;
  return v;
}

Vec to_vec(std::span<const double> x) { return Vec(x.begin(), x.end()); }

// A problem that records every point it is asked about, in order.
struct Recorder {
  std::function<double(std::span<const double>)> f;
  std::function<Vec(std::span<const double>)> g;
  mutable std::vector<Vec> costs{}, gradients{};

  double cost(std::span<const double> x) const {
    costs.push_back(to_vec(x));
    return f(x);
  }
  Vec gradient(std::span<const double> x) const {
    gradients.push_back(to_vec(x));
    return g(x);
  }
};

Recorder rosenbrock() {
  return {[](std::span<const double> x) {
            return 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
          },
          [](std::span<const double> x) {
            return Vec{-400.0 * x[0] * (x[1] - x[0] * x[0]) - 2.0 * (1.0 - x[0]),
                       200.0 * (x[1] - x[0] * x[0])};
          }};
}

// 0.5·(x − m)ᵀ A (x − m), minimum at m = (1, −2, 3). A's eigenvalues span
// about 19 to 400: conditioned enough to need curvature, and steep enough
// that a gradient below the 1e-5 tolerance puts x within 1e-6 of m.
Recorder quadratic() {
  static const MatrixXd A = (MatrixXd(3, 3) << 400, 20, 0, 20, 100, 10, 0, 10, 20).finished();
  static const VectorXd m = vec({1, -2, 3});
  return {[](std::span<const double> x) {
            const VectorXd e = Eigen::Map<const VectorXd>(x.data(), 3) - m;
            return 0.5 * e.dot(A * e);
          },
          [](std::span<const double> x) {
            const VectorXd g = A * (Eigen::Map<const VectorXd>(x.data(), 3) - m);
            return Vec(g.data(), g.data() + 3);
          }};
}

// ---------------------------------------------------------------------------
// Executor

// Starts at x = 0 with cost 5; iteration k moves to x = k + 1 at cost
// costs[k]; its own test holds at the checks made with the listed counts.
struct ScriptedSolver {
  std::vector<double> costs;
  std::vector<std::uint64_t> converged_at;

  TextResult<void> init(const Recorder&, IterState& state) {
    state.x = vec({0.0});
    state.cost = 5.0;
    return {};
  }
  TextResult<void> next_iter(const Recorder&, IterState& state) {
    state.x = vec({static_cast<double>(state.iter + 1)});
    state.cost = costs.at(state.iter);
    return {};
  }
  [[nodiscard]] bool terminate(const IterState& state) const {
    return std::ranges::find(converged_at, state.iter) != converged_at.end();
  }
};

TEST(Executor, CountsIterationsTestsInOrderAndKeepsTheStrictlyBestPoint) {
  struct Case {
    const char* name;
    std::vector<double> costs;
    std::vector<std::uint64_t> converged_at;
    std::uint64_t max_iters;
    double target;
    Termination reason;
    std::uint64_t iter;
    double best_x, best_cost;
  };
  const Case cases[] = {
      {"limit 0 runs the initialisation only", {}, {}, 0, -kInf, Termination::MaxItersReached, 0, 0, 5},
      {"limit 3 completes three iterations", {4, 3, 2, 1}, {}, 3, -kInf, Termination::MaxItersReached, 3, 3, 2},
      {"own test before any iteration", {}, {0}, 0, -kInf, Termination::SolverConverged, 0, 0, 5},
      {"own test at the limit's check wins", {4, 3, 2}, {2}, 2, -kInf, Termination::SolverConverged, 2, 2, 3},
      {"own test after the last iteration", {4}, {1}, 10, -kInf, Termination::SolverConverged, 1, 1, 4},
      {"an equal cost keeps the earlier best", {5, 5}, {}, 2, -kInf, Termination::MaxItersReached, 2, 0, 5},
      {"a higher cost keeps the lower best", {3, 4, 6}, {}, 3, -kInf, Termination::MaxItersReached, 3, 1, 3},
      {"target cost reached", {4, 3, 2}, {}, 10, 3, Termination::TargetCostReached, 2, 2, 3},
      {"limit tested before target", {4, 3}, {}, 2, 3, Termination::MaxItersReached, 2, 2, 3},
  };
  const Recorder none{};
  for (const Case& c : cases) {
    ScriptedSolver solver{c.costs, c.converged_at};
    IterState state;
    state.max_iters = c.max_iters;
    state.target_cost = c.target;
    const auto out = execute(none, solver, state);
    ASSERT_TRUE(out.has_value()) << c.name;
    EXPECT_EQ(out->reason, c.reason) << c.name;
    EXPECT_EQ(out->state.iter, c.iter) << c.name;
    ASSERT_TRUE(out->state.best_x.has_value()) << c.name;
    EXPECT_EQ((*out->state.best_x)(0), c.best_x) << c.name;
    EXPECT_EQ(out->state.best_cost, c.best_cost) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Nelder-Mead

std::vector<VectorXd> unit_triangle() { return {vec({0, 0}), vec({1, 0}), vec({0, 1})}; }

TEST(NelderMead, EvaluatesEveryVertexInOrderAndKeepsTiesInSimplexOrder) {
  Recorder flat{[](std::span<const double>) { return 7.0; }, {}};
  NelderMead solver(unit_triangle());
  IterState state;
  state.max_iters = 100;
  const auto out = execute(flat, solver, state);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(flat.costs, (std::vector<Vec>{{0, 0}, {1, 0}, {0, 1}}));
  EXPECT_EQ(out->reason, Termination::SolverConverged);
  EXPECT_EQ(out->state.iter, 0u);
  EXPECT_EQ(*out->state.best_x, vec({0, 0}));
}

TEST(NelderMead, TakesTheTextbookStep) {
  struct Case {
    const char* name;
    double (*f)(double, double);
    std::vector<Vec> evaluated;  // during the step, in order
    std::vector<Vec> after;      // vertices by cost
  };
  const Case cases[] = {
      {"reflection, placed after an equal cost",
       [](double x, double) { return -(x + 2) * (x + 2); },
       {{1, -1}},
       {{1, 0}, {1, -1}, {0, 0}}},
      {"expansion", [](double x, double y) { return 2 * x + y; },
       {{-1, 1}, {-2, 1.5}},
       {{-2, 1.5}, {0, 0}, {0, 1}}},
      {"expansion rejected for the reflection",
       [](double x, double y) { return (x + 1) * (x + 1) + (y - 1) * (y - 1); },
       {{-1, 1}, {-2, 1.5}},
       {{-1, 1}, {0, 1}, {0, 0}}},
      {"contraction", [](double x, double y) { return x * x + y * y; },
       {{1, -1}, {0.25, 0.5}},
       {{0, 0}, {0.25, 0.5}, {1, 0}}},
      {"shrink toward the best", [](double x, double y) { return -(x - y) * (x - y); },
       {{1, 1}, {0.25, 0.25}, {0.5, 0.5}, {0.5, 0}},
       {{1, 0}, {0.5, 0}, {0.5, 0.5}}},
  };
  for (const Case& c : cases) {
    Recorder problem{[f = c.f](std::span<const double> x) { return f(x[0], x[1]); }, {}};
    NelderMead solver(unit_triangle());
    IterState state;
    ASSERT_TRUE(solver.init(problem, state).has_value()) << c.name;
    problem.costs.clear();
    ASSERT_TRUE(solver.next_iter(problem, state).has_value()) << c.name;
    EXPECT_EQ(problem.costs, c.evaluated) << c.name;
    std::vector<Vec> after;
    for (const auto& v : solver.vertices()) after.push_back(to_vec(view(v.x)));
    EXPECT_EQ(after, c.after) << c.name;
    EXPECT_EQ(state.x, solver.vertices().front().x) << c.name;
  }
}

TEST(NelderMead, SpreadIsTheSampleStandardDeviationWithoutOverflow) {
  struct Case {
    std::vector<double> costs;
    double spread;
  };
  const Case cases[] = {
      {{1, 2, 3}, 1.0},
      {{0, 1}, std::sqrt(0.5)},
      {{4}, 0.0},
      {{PENALTY, PENALTY, PENALTY, PENALTY}, 0.0},
      {{1, PENALTY, PENALTY}, kInf},
  };
  for (const Case& c : cases) {
    std::vector<NelderMead::Vertex> vertices;
    for (double f : c.costs) vertices.push_back({VectorXd(), f});
    EXPECT_DOUBLE_EQ(cost_spread(vertices), c.spread) << c.costs.size() << " costs";
  }
}

// A cost spread of 1e-6 leaves the vertices about sqrt(2e-6 / λ) from the
// minimum along a curvature λ: 3e-4 for the quadratic (λ ≈ 19), 2e-3 for
// Rosenbrock's valley (λ ≈ 0.4).
TEST(NelderMead, ReachesTheMinimaToTheAccuracyItsToleranceAllows) {
  struct Case {
    const char* name;
    Recorder problem;
    std::vector<VectorXd> simplex;
    VectorXd minimum;
    double tolerance;
  };
  Case cases[] = {
      {"quadratic", quadratic(), {vec({0, 0, 0}), vec({0.5, 0, 0}), vec({0, 0.5, 0}), vec({0, 0, 0.5})},
       vec({1, -2, 3}), 1e-3},
      {"Rosenbrock", rosenbrock(), {vec({-1.2, 1}), vec({-1.26, 1}), vec({-1.2, 1.05})}, vec({1, 1}),
       3e-3},
  };
  for (Case& c : cases) {
    NelderMead solver(c.simplex);
    IterState state;
    state.max_iters = 10000;
    const auto out = execute(c.problem, solver, state);
    ASSERT_TRUE(out.has_value()) << c.name;
    EXPECT_EQ(out->reason, Termination::SolverConverged) << c.name;
    EXPECT_LT((*out->state.best_x - c.minimum).norm(), c.tolerance) << c.name;
  }
}

// ---------------------------------------------------------------------------
// More-Thuente line search

// −x, or `wall` once x passes `at`: a line searched from 0 along ±1.
Recorder line(double at = kInf, double wall = kInf) {
  return {[=](std::span<const double> x) { return x[0] > at ? wall : -x[0]; },
          [](std::span<const double>) { return Vec{-1}; }};
}

TEST(MoreThuente, TrialStepsStartAtOneExtrapolateByFourAndStopAtAWarning) {
  MoreThuenteOptions bounded;
  bounded.stpmax = 2.0;  // reached while the cost still falls: a warning
  struct Case {
    const char* name;
    Recorder problem;
    MoreThuenteOptions options;
    double f0, g0;
    std::vector<Vec> steps;
  };
  Case cases[] = {
      {"(x − 1000)²", {[](std::span<const double> x) { return (x[0] - 1000) * (x[0] - 1000); },
                       [](std::span<const double> x) { return Vec{2 * (x[0] - 1000)}; }},
       {}, 1e6, -2000, {{1}, {5}, {21}, {85}, {341}}},
      {"−x up to the largest step", line(), bounded, 0, -1, {{1}, {2}}},
  };
  for (Case& c : cases) {
    LineSearchPoint out;
    ASSERT_TRUE(more_thuente_search(c.problem, c.options, vec({0}), c.f0, vec({c.g0}), vec({1}), out))
        << c.name;
    EXPECT_EQ(c.problem.gradients, c.steps) << c.name;
    EXPECT_EQ(c.problem.costs, c.steps) << c.name;
    EXPECT_EQ(out.x(0), c.steps.back()[0]) << c.name;
    EXPECT_EQ(out.cost, c.problem.f(view(out.x))) << c.name;
  }
}

TEST(MoreThuente, FailuresAreTexts) {
  MoreThuenteOptions beyond_bound;
  beyond_bound.stpmax = 0.5;
  struct Case {
    const char* name;
    Recorder problem;
    MoreThuenteOptions options;
    double d;
    std::string error;
    std::size_t evaluations;
  };
  Case cases[] = {
      {"ascent direction", line(), {}, -1, "line search: the direction is not a descent direction", 0},
      {"infinite cost at a trial step", line(0.5), {}, 1, "line search: non-finite cost or slope at step 1", 1},
      {"dcsrch error", line(), beyond_bound, 1, "line search: ERROR: STP .GT. STPMAX", 0},
      {"unbounded below", line(), {}, 1, "line search found no acceptable step in 100 evaluations", 100},
  };
  for (Case& c : cases) {
    LineSearchPoint out;
    const auto r = more_thuente_search(c.problem, c.options, vec({0}), 0, vec({-1}), vec({c.d}), out);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error(), c.error) << c.name;
    EXPECT_EQ(c.problem.costs.size(), c.evaluations) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Curvature models

// Pairs (s, A·s) of a random SPD A, so every pair has positive curvature.
std::vector<std::pair<VectorXd, VectorXd>> curvature_pairs(std::size_t count, Eigen::Index n) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> N;
  MatrixXd B(n, n);
  for (Eigen::Index i = 0; i < n * n; ++i) B.data()[i] = N(rng);
  const MatrixXd A = B * B.transpose() + MatrixXd::Identity(n, n);
  std::vector<std::pair<VectorXd, VectorXd>> pairs;
  for (std::size_t k = 0; k < count; ++k) {
    VectorXd s(n);
    for (Eigen::Index i = 0; i < n; ++i) s(i) = N(rng);
    pairs.emplace_back(s, A * s);
  }
  return pairs;
}

MatrixXd bfgs_update(const MatrixXd& H, const VectorXd& s, const VectorXd& y) {
  const double rho = 1.0 / s.dot(y);
  const MatrixXd I = MatrixXd::Identity(H.rows(), H.cols());
  return (I - rho * s * y.transpose()) * H * (I - rho * y * s.transpose()) + rho * s * s.transpose();
}

TEST(LimitedMemory, TwoLoopEqualsDenseUpdatesOfTheScaledIdentityOverTheNewestPairs) {
  const Eigen::Index n = 4;
  const VectorXd g = vec({1, -2, 0.5, 3});
  for (const std::size_t count : {0u, 1u, 3u, 12u}) {
    const auto pairs = curvature_pairs(count, n);
    LimitedMemory memory(10);
    ASSERT_TRUE(memory.start(n));
    for (const auto& [s, y] : pairs) memory.update(s, y);
    const std::size_t first = count > 10 ? count - 10 : 0;
    const double gamma = count == 0 ? 1.0 : pairs.back().first.dot(pairs.back().second) /
                                                 pairs.back().second.squaredNorm();
    MatrixXd H = gamma * MatrixXd::Identity(n, n);
    for (std::size_t k = first; k < count; ++k) H = bfgs_update(H, pairs[k].first, pairs[k].second);
    VectorXd d(n);
    memory.direction(g, d);
    EXPECT_LT((d + H * g).norm(), 1e-10 * (H * g).norm()) << count << " pairs";
    EXPECT_EQ(memory.stored(), count - first) << count << " pairs";
  }
}

TEST(InverseHessian, UpdateMatchesTheProductFormAndMeetsTheSecantCondition) {
  const auto pairs = curvature_pairs(3, 3);
  MatrixXd H0 = vec({0.5, 2, 1}).asDiagonal();
  InverseHessian memory(H0);
  ASSERT_TRUE(memory.start(3));
  MatrixXd H = H0;
  for (const auto& [s, y] : pairs) {
    memory.update(s, y);
    H = bfgs_update(H, s, y);
    EXPECT_LT((memory.matrix() * y - s).norm(), 1e-12 * s.norm());
  }
  EXPECT_LT((memory.matrix() - H).norm(), 1e-12 * H.norm());
}

TEST(CurvatureModels, SkipAPairWithoutPositiveCurvature) {
  const VectorXd s = vec({1, 0}), y = vec({-1, 0.5});
  InverseHessian dense(MatrixXd::Identity(2, 2));
  LimitedMemory limited;
  ASSERT_TRUE(dense.start(2));
  ASSERT_TRUE(limited.start(2));
  dense.update(s, y);
  limited.update(s, y);
  EXPECT_EQ(dense.matrix(), MatrixXd::Identity(2, 2));
  EXPECT_EQ(limited.stored(), 0u);
}

// ---------------------------------------------------------------------------
// Quasi-Newton solvers

TEST(QuasiNewton, OwnTestIsTheGradientNormOrTheCostChange) {
  struct Case {
    VectorXd grad;
    double prev_cost, cost;
    bool converged;
  };
  const Case cases[] = {
      {vec({6e-6, 8e-6}), kInf, 1.0, false},    // norm 1e-5: not below
      {vec({6e-6, 7.9e-6}), kInf, 1.0, true},
      {vec({1, 1}), 1.0 + 2e-9, 1.0, false},
      {vec({1, 1}), 1.0 + 5e-10, 1.0, true},
      {vec({1, 1}), 1.0, 1.0 + 5e-10, true},
      {VectorXd(), kInf, 3.0, true},            // no coordinates: a zero gradient
  };
  const Bfgs solver{InverseHessian(MatrixXd())};
  for (const Case& c : cases) {
    IterState state;
    state.grad = c.grad;
    state.prev_cost = c.prev_cost;
    state.cost = c.cost;
    EXPECT_EQ(solver.terminate(state), c.converged) << c.grad.transpose() << " " << c.prev_cost;
  }
}

template <class S>
TextResult<Outcome> minimise(S solver, const Recorder& problem, VectorXd x0, std::uint64_t max_iters) {
  IterState state;
  state.x = std::move(x0);
  state.max_iters = max_iters;
  return execute(problem, solver, std::move(state));
}

TEST(QuasiNewton, BfgsAndLbfgsReachTheMinimaTo1e6) {
  struct Case {
    const char* name;
    Recorder problem;
    VectorXd x0, minimum;
  };
  Case cases[] = {
      {"quadratic", quadratic(), vec({0, 0, 0}), vec({1, -2, 3})},
      {"Rosenbrock", rosenbrock(), vec({-1.2, 1}), vec({1, 1})},
  };
  for (Case& c : cases) {
    const Eigen::Index n = c.x0.size();
    const auto bfgs = minimise(Bfgs(InverseHessian(MatrixXd::Identity(n, n))), c.problem, c.x0, 1000);
    const auto lbfgs = minimise(Lbfgs(LimitedMemory(10)), c.problem, c.x0, 1000);
    for (const auto* out : {&bfgs, &lbfgs}) {
      ASSERT_TRUE(out->has_value()) << c.name << ": " << out->error();
      EXPECT_EQ((*out)->reason, Termination::SolverConverged) << c.name;
      EXPECT_LT((*(*out)->state.best_x - c.minimum).norm(), 1e-6) << c.name;
    }
  }
}

TEST(QuasiNewton, InitialisationEvaluatesTheStartOnceAndIsNotAnIteration) {
  Recorder problem = rosenbrock();
  const auto out = minimise(Lbfgs(LimitedMemory(10)), problem, vec({-1.2, 1}), 0);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->reason, Termination::MaxItersReached);
  EXPECT_EQ(out->state.iter, 0u);
  EXPECT_EQ(problem.gradients, (std::vector<Vec>{{-1.2, 1}}));
  EXPECT_EQ(problem.costs, problem.gradients);
  EXPECT_DOUBLE_EQ(out->state.best_cost, 24.2);
}

}  // namespace
