// The engine: the executor's loop, the Nelder-Mead step and spread, the
// More-Thuente search, the curvature models and the quasi-Newton minima.

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "peltaro/estimation/engine/executor.hpp"
#include "peltaro/estimation/engine/nelder_mead.hpp"
#include "peltaro/estimation/engine/quasi_newton.hpp"
#include "peltaro/estimation/unbounded_runners.hpp"
#include "test_functions.hpp"

namespace {

using namespace peltaro;
using namespace peltaro::estimation;
using namespace peltaro::estimation::engine;
using Eigen::MatrixXd;
using Eigen::VectorXd;

constexpr double kInf = std::numeric_limits<double>::infinity();

VectorXd vec(std::initializer_list<double> values) {
  return Eigen::Map<const VectorXd>(values.begin(), static_cast<Eigen::Index>(values.size()));
}

Vec to_vec(std::span<const double> x) { return Vec(x.begin(), x.end()); }

// A problem that records every point whose cost it is asked for, in order.
struct Recorder {
  std::function<double(std::span<const double>)> f;
  std::function<Vec(std::span<const double>)> g;
  mutable std::vector<Vec> costs{};

  double cost(std::span<const double> x) const {
    costs.push_back(to_vec(x));
    return f(x);
  }
  Vec gradient(std::span<const double> x) const { return g(x); }
};

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
  using enum Termination;
  const Case cases[] = {
      {"limit 0 runs the initialisation only", {}, {}, 0, -kInf, MaxItersReached, 0, 0, 5},
      {"own test before any iteration", {}, {0}, 0, -kInf, SolverConverged, 0, 0, 5},
      {"own test at the limit's check wins", {4, 3, 2}, {2}, 2, -kInf, SolverConverged, 2, 2, 3},
      {"an equal cost keeps the earlier best", {5, 5}, {}, 2, -kInf, MaxItersReached, 2, 0, 5},
      {"a higher cost keeps the lower best", {3, 4, 6}, {}, 3, -kInf, MaxItersReached, 3, 1, 3},
      {"target cost reached", {4, 3, 2}, {}, 10, 3, TargetCostReached, 2, 2, 3},
      {"limit tested before target", {4, 3}, {}, 2, 3, MaxItersReached, 2, 2, 3},
  };
  for (const Case& c : cases) {
    ScriptedSolver solver{c.costs, c.converged_at};
    IterState state;
    state.max_iters = c.max_iters;
    state.target_cost = c.target;
    const auto out = execute(Recorder{}, solver, state);
    ASSERT_TRUE(out.has_value() && out->state.best_x.has_value()) << c.name;
    EXPECT_EQ(out->reason, c.reason) << c.name;
    EXPECT_EQ(out->state.iter, c.iter) << c.name;
    EXPECT_EQ((*out->state.best_x)(0), c.best_x) << c.name;
    EXPECT_EQ(out->state.best_cost, c.best_cost) << c.name;
  }
}

TEST(NelderMead, TakesTheTextbookStep) {
  // The points evaluated during the step, in order, and the vertices after it by cost.
  struct Case { const char* name; double (*f)(double, double); std::vector<Vec> evaluated, after; };
  const Case cases[] = {
      {"reflection, placed after an equal cost",
       [](double x, double) { return -(x + 2) * (x + 2); }, {{1, -1}}, {{1, 0}, {1, -1}, {0, 0}}},
      {"expansion", [](double x, double y) { return 2 * x + y; },
       {{-1, 1}, {-2, 1.5}}, {{-2, 1.5}, {0, 0}, {0, 1}}},
      {"expansion rejected for the reflection",
       [](double x, double y) { return (x + 1) * (x + 1) + (y - 1) * (y - 1); },
       {{-1, 1}, {-2, 1.5}}, {{-1, 1}, {0, 1}, {0, 0}}},
      {"contraction", [](double x, double y) { return x * x + y * y; },
       {{1, -1}, {0.25, 0.5}}, {{0, 0}, {0.25, 0.5}, {1, 0}}},
      {"shrink toward the best", [](double x, double y) { return -(x - y) * (x - y); },
       {{1, 1}, {0.25, 0.25}, {0.5, 0.5}, {0.5, 0}}, {{1, 0}, {0.5, 0}, {0.5, 0.5}}},
  };
  for (const Case& c : cases) {
    Recorder problem{[f = c.f](std::span<const double> x) { return f(x[0], x[1]); }, {}};
    NelderMead solver({vec({0, 0}), vec({1, 0}), vec({0, 1})});
    IterState state;
    ASSERT_TRUE(solver.init(problem, state).has_value()) << c.name;
    problem.costs.clear();
    ASSERT_TRUE(solver.next_iter(problem, state).has_value()) << c.name;
    EXPECT_EQ(problem.costs, c.evaluated) << c.name;
    std::vector<Vec> after;
    for (const auto& v : solver.vertices()) after.push_back(to_vec(view(v.x)));
    EXPECT_EQ(after, c.after) << c.name;
  }
}

TEST(NelderMead, SpreadIsTheSampleStandardDeviationWithoutOverflow) {
  const std::pair<std::vector<double>, double> cases[] = {
      {{1, 2, 3}, 1.0}, {{0, 1}, std::sqrt(0.5)}, {{4}, 0.0}, {{PENALTY, PENALTY, PENALTY}, 0.0}};
  for (const auto& [costs, spread] : cases) {
    std::vector<NelderMead::Vertex> vertices;
    for (double f : costs) vertices.push_back({VectorXd(), f});
    EXPECT_DOUBLE_EQ(cost_spread(vertices), spread) << costs.size() << " costs";
  }
}

// −x along +1 from 0, with a slope of −1 everywhere.
Recorder line() {
  return {[](std::span<const double> x) { return -x[0]; },
          [](std::span<const double>) { return Vec{-1}; }};
}

// The largest step is reached while the cost still falls: a warning, which
// accepts the last trial step.
TEST(MoreThuente, TrialStepsStartAtOneAndStopAtAWarning) {
  Recorder problem = line();
  LineSearchPoint out;
  ASSERT_TRUE(more_thuente_search(problem, {.stpmax = 2.0}, vec({0}), 0, vec({-1}), vec({1}), out));
  EXPECT_EQ(problem.costs, (std::vector<Vec>{{1}, {2}}));
  EXPECT_EQ(out.x, vec({2}));
  EXPECT_EQ(out.cost, -2.0);
}

TEST(MoreThuente, FailuresAreTexts) {
  struct Case { double stpmax, d; std::string error; std::size_t evaluations; };
  const Case cases[] = {
      {kInf, -1, "line search: the direction is not a descent direction", 0},
      {0.5, 1, "line search: ERROR: STP .GT. STPMAX", 0},
      {kInf, 1, "line search found no acceptable step in 100 evaluations", 100},
  };
  for (const Case& c : cases) {
    Recorder problem = line();
    LineSearchPoint out;
    const auto r = more_thuente_search(problem, {.stpmax = c.stpmax}, vec({0}), 0, vec({-1}),
                                       vec({c.d}), out);
    ASSERT_FALSE(r.has_value()) << c.error;
    EXPECT_EQ(r.error(), c.error);
    EXPECT_EQ(problem.costs.size(), c.evaluations) << c.error;
  }
}

// Pairs (s, A·s) of a random SPD A; every fourth y is negated, so that pair
// has no positive curvature.
std::vector<std::pair<VectorXd, VectorXd>> curvature_pairs(std::size_t count, Eigen::Index n) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> N;
  const MatrixXd B = MatrixXd::NullaryExpr(n, n, [&] { return N(rng); });
  const MatrixXd A = B * B.transpose() + MatrixXd::Identity(n, n);
  std::vector<std::pair<VectorXd, VectorXd>> pairs;
  for (std::size_t k = 0; k < count; ++k) {
    const VectorXd s = VectorXd::NullaryExpr(n, [&] { return N(rng); });
    pairs.emplace_back(s, (k % 4 == 3 ? -1.0 : 1.0) * (A * s));
  }
  return pairs;
}

// The product form of the update; a pair without positive curvature is skipped.
MatrixXd bfgs_update(const MatrixXd& H, const VectorXd& s, const VectorXd& y) {
  if (s.dot(y) <= 0) return H;
  const double rho = 1.0 / s.dot(y);
  const MatrixXd I = MatrixXd::Identity(H.rows(), H.cols());
  return (I - rho * s * y.transpose()) * H * (I - rho * y * s.transpose()) +
         rho * s * s.transpose();
}

// The dense model from a given H0, and the two-loop recursion from the
// scaled identity over its newest ten pairs.
TEST(CurvatureModels, EqualDenseUpdatesAndSkipPairsWithoutPositiveCurvature) {
  const Eigen::Index n = 4;
  const VectorXd g = vec({1, -2, 0.5, 3});
  const MatrixXd H0 = vec({0.5, 2, 1, 3}).asDiagonal();
  for (const std::size_t count : {0u, 1u, 4u, 15u}) {
    InverseHessian dense(H0);
    LimitedMemory limited(10);
    ASSERT_TRUE(dense.start(n) && limited.start(n));
    MatrixXd full = H0;
    std::vector<std::pair<VectorXd, VectorXd>> kept;
    for (const auto& [s, y] : curvature_pairs(count, n)) {
      dense.update(s, y);
      limited.update(s, y);
      full = bfgs_update(full, s, y);
      if (s.dot(y) > 0) kept.emplace_back(s, y);
    }
    EXPECT_LT((dense.matrix() - full).norm(), 1e-10 * full.norm()) << count << " pairs";
    const auto newest = std::span(kept).last(std::min<std::size_t>(kept.size(), 10));
    MatrixXd H = MatrixXd::Identity(n, n);
    if (!kept.empty()) {
      const auto& [s, y] = kept.back();
      H *= s.dot(y) / y.squaredNorm();
    }
    for (const auto& [s, y] : newest) H = bfgs_update(H, s, y);
    VectorXd d(n);
    limited.direction(g, d);
    EXPECT_LT((d + H * g).norm(), 1e-10 * (H * g).norm()) << count << " pairs";
    EXPECT_EQ(limited.stored(), newest.size()) << count << " pairs";
  }
}

TEST(QuasiNewton, OwnTestIsTheGradientNormOrTheCostChange) {
  struct Case { VectorXd grad; double prev_cost, cost; bool converged; };
  const Case cases[] = {
      {vec({6e-6, 8e-6}), kInf, 1.0, false},  // norm 1e-5: not below
      {vec({6e-6, 7.9e-6}), kInf, 1.0, true},
      {vec({1, 1}), 1.0 + 2e-9, 1.0, false},
      {vec({1, 1}), 1.0 + 5e-10, 1.0, true},
      {vec({1, 1}), 1.0, 1.0 + 5e-10, true},
      {VectorXd(), kInf, 3.0, true},  // no coordinates: a zero gradient
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

// A problem evaluating one of the test functions.
Recorder from(double (*fg)(std::span<const double>, std::span<double>)) {
  return {[fg](std::span<const double> x) { Vec g(x.size()); return fg(x, g); },
          [fg](std::span<const double> x) { Vec g(x.size()); fg(x, g); return g; }};
}

TEST(QuasiNewton, BfgsAndLbfgsReachTheMinimaTo1e6) {
  struct Case { const char* name; Recorder problem; Vec x0; VectorXd minimum; };
  const Case cases[] = {
      {"quadratic", from(test_functions::quadratic), {0, 0, 0}, vec({1, -2, 3})},
      {"Rosenbrock", from(test_functions::rosenbrock), {-1.2, 1}, vec({1, 1})},
  };
  for (const Case& c : cases) {
    const auto n = static_cast<Eigen::Index>(c.x0.size());
    for (const auto& r : {runners::bfgs_search(c.problem, c.x0, MatrixXd::Identity(n, n), 1000),
                          runners::lbfgs_search(c.problem, c.x0, 1000)}) {
      ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error();
      EXPECT_TRUE(r->converged) << c.name;
      EXPECT_LT((Eigen::Map<const VectorXd>(r->x.data(), n) - c.minimum).norm(), 1e-6) << c.name;
    }
  }
}

}  // namespace
