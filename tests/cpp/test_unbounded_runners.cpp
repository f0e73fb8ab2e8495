#include "peltaro/estimation/unbounded_runners.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/finite_difference.hpp"
#include "runner_reference.hpp"
#include "score_fixtures.hpp"

namespace {

using namespace peltaro;
using namespace peltaro::estimation;
using core::SarimaxConfig;
using core::Trend;
namespace fx = peltaro::score_fixtures;
using fx::cfg;
using Runner = TextResult<RunnerResult> (*)(SarimaxObjective, Vec, std::uint64_t);

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct NamedRunner {
  const char* name;
  Runner run;
};
const NamedRunner kRunners[] = {
    {"Nelder-Mead", runners::run_nelder_mead},
    {"BFGS", runners::run_bfgs},
    {"L-BFGS", runners::run_lbfgs},
};

// Log lynx trappings, AR(2) with a constant: x = [c, AR1, AR2, ln sigma2].
SarimaxObjective log_lynx() {
  return {fx::log_of(fx::load_csv_column("lynx.csv", 1)), std::nullopt,
          cfg({2, 0, 0, 0, 0, 0, 0}, Trend::Constant)};
}
// Seasonal differencing twice cannot be built: every point costs the penalty.
SarimaxObjective unbuildable() {
  return {fx::load_csv_column("nile.csv", 1), std::nullopt, cfg({1, 0, 0, 0, 2, 0, 4})};
}

// ---------------------------------------------------------------------------
// Starting points

TEST(NelderMeadSimplex, MovesEachCoordinateByFivePercentOrByAFixedStepNearZero) {
  const Vec x0{1.0, -2.0, 0.0, 1e-8, -1e-8, 2e-8};
  const Vec moved{1.05, -2.1, 0.00025, 1e-8 + 0.00025, -1e-8 + 0.00025, 2.1e-8};
  const auto simplex = runners::nelder_mead_simplex(x0);
  ASSERT_EQ(simplex.size(), x0.size() + 1);
  for (std::size_t v = 0; v < simplex.size(); ++v) {
    for (std::size_t j = 0; j < x0.size(); ++j) {
      EXPECT_DOUBLE_EQ(simplex[v][j], v == j + 1 ? moved[j] : x0[j]) << "vertex " << v << ", " << j;
    }
  }
  EXPECT_EQ(runners::nelder_mead_simplex(Vec{}), std::vector<Vec>{Vec{}});
}

TEST(BfgsStart, InverseHessianIsDiagonalFromTheFlooredStartGradient) {
  struct Case {
    const char* name;
    TextResult<Vec> g0;
    Vec diagonal;
  };
  const Case cases[] = {
      {"zero and NaN reach the floor", Vec{0.0, kNaN}, {100.0, 100.0}},
      {"magnitude of the entry", Vec{0.5, -0.5, 10.0}, {0.2, 0.2, 0.01}},
      {"below the floor", Vec{0.0005}, {100.0}},
      {"infinite entry", Vec{kInf}, {0.0}},
      {"failed gradient", fail_text("no gradient"), {0.1, 0.1, 0.1}},
  };
  for (const Case& c : cases) {
    const Eigen::MatrixXd h = runners::bfgs_initial_inverse_hessian(c.g0, c.diagonal.size());
    const auto n = static_cast<Eigen::Index>(c.diagonal.size());
    ASSERT_EQ(h.rows(), n) << c.name;
    ASSERT_EQ(h.cols(), n) << c.name;
    for (Eigen::Index i = 0; i < n; ++i) {
      for (Eigen::Index j = 0; j < n; ++j) {
        EXPECT_DOUBLE_EQ(h(i, j), i == j ? c.diagonal[static_cast<std::size_t>(i)] : 0.0) << c.name;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Reading the engine's outcome

TEST(ReadOutcome, ReportsAStateWithoutABestPoint) {
  const auto no_best = runners::read_outcome(
      "Nelder-Mead", engine::Outcome{engine::IterState{}, engine::Termination::SolverConverged});
  ASSERT_FALSE(no_best.has_value());
  EXPECT_EQ(no_best.error(), "Nelder-Mead: no best parameter found");
}

// 5x² on (0.2, 0.5) and `outside` elsewhere. From 0.3 the simplex walks
// down into x ≤ 0.2, and the first full quasi-Newton step lands at −2.7.
struct Walled {
  double outside;
  double cost(std::span<const double> x) const {
    return x[0] > 0.2 && x[0] < 0.5 ? 5 * x[0] * x[0] : outside;
  }
  Vec gradient(std::span<const double> x) const { return {10 * x[0]}; }
};

TEST(Runners, EngineFailuresNameTheSolver) {
  const Vec x0{0.3};
  const Walled nan_wall{kNaN}, inf_wall{kInf};
  const std::pair<TextResult<RunnerResult>, std::string> cases[] = {
      {runners::nelder_mead_search(nan_wall, x0, 100),
       "Nelder-Mead failed: cost is NaN at a trial point"},
      {runners::bfgs_search(inf_wall, x0, Eigen::MatrixXd::Identity(1, 1), 100),
       "BFGS failed: line search: non-finite cost or slope at step 1"},
      {runners::lbfgs_search(inf_wall, x0, 100),
       "L-BFGS failed: line search: non-finite cost or slope at step 1"},
  };
  for (const auto& [result, text] : cases) {
    ASSERT_FALSE(result.has_value()) << text;
    EXPECT_EQ(result.error(), text);
  }
}

// ---------------------------------------------------------------------------
// Runs on the likelihood

TEST(Runners, ZeroIterationsReturnTheBestStartingPoint) {
  const Vec x0{3.0, 0.5, 0.1, 0.0};
  const SarimaxObjective lynx = log_lynx();
  double best_vertex_cost = kInf;
  Vec best_vertex;
  for (const Vec& v : runners::nelder_mead_simplex(x0)) {
    if (lynx.cost(v) < best_vertex_cost) {
      best_vertex_cost = lynx.cost(v);
      best_vertex = v;
    }
  }
  ASSERT_NE(best_vertex, x0);  // the test needs a vertex better than the start
  for (const auto& [name, run] : kRunners) {
    const auto r = run(lynx.clone(), x0, 0);
    ASSERT_TRUE(r.has_value()) << name << ": " << r.error();
    const bool simplex = std::string(name) == "Nelder-Mead";
    EXPECT_EQ(r->x, simplex ? best_vertex : x0) << name;
    EXPECT_EQ(r->f, simplex ? best_vertex_cost : lynx.cost(x0)) << name;
    EXPECT_EQ(r->n_iter, 0u) << name;
    EXPECT_FALSE(r->converged) << name;
  }
}

TEST(Runners, APenaltyPlateauIsNotConverged) {
  const Vec x0{0.3, 0.0};
  for (const auto& [name, run] : kRunners) {
    const auto r = run(unbuildable(), x0, 50);
    ASSERT_TRUE(r.has_value()) << name << ": " << r.error();
    EXPECT_EQ(r->x, x0) << name;
    EXPECT_EQ(r->f, PENALTY) << name;
    EXPECT_EQ(r->n_iter, 0u) << name;
    EXPECT_FALSE(r->converged) << name;
  }
}

TEST(Runners, ConvergenceAtTheLimitsCheckCountsAsConverged) {
  const Vec x0{2.0, 0.5, 0.1, 0.0};
  for (const auto& [name, run] : kRunners) {
    const auto free = run(log_lynx(), x0, 10000);
    ASSERT_TRUE(free.has_value() && free->converged) << name;
    const std::uint64_t k = free->n_iter;
    ASSERT_GT(k, 0u) << name;
    const auto at_limit = run(log_lynx(), x0, k);
    const auto short_of_it = run(log_lynx(), x0, k - 1);
    ASSERT_TRUE(at_limit.has_value() && short_of_it.has_value()) << name;
    EXPECT_TRUE(at_limit->converged) << name;
    EXPECT_EQ(at_limit->n_iter, k) << name;
    EXPECT_EQ(at_limit->x, free->x) << name;
    EXPECT_FALSE(short_of_it->converged) << name;
    EXPECT_EQ(short_of_it->n_iter, k - 1) << name;
  }
}

TEST(Runners, ReachThePeersMaximumLikelihood) {
  const auto peer = runner_reference::peer_loglikes();
  // Starts in model coordinates.
  const std::tuple<const char*, SarimaxConfig, Vec> cases[] = {
      {"lakehuron_arma11", cfg({1, 0, 1, 0, 0, 0, 0}), {0.0, 0.0, 1.0}},
      {"nile_ima11", cfg({0, 1, 1, 0, 0, 0, 0}), {0.0, 1.0}},
      {"airline", cfg({0, 1, 1, 0, 1, 1, 12}), {0.0, 0.0, 1.0}},
  };
  for (const auto& [case_name, config, start] : cases) {
    const SarimaxObjective objective(runner_reference::series(case_name), std::nullopt, config);
    const Vec x0 = core::transform_params_inner(start, config, false).value();
    for (const auto& [name, run] : kRunners) {
      const auto r = run(objective.clone(), x0, 10000);
      ASSERT_TRUE(r.has_value()) << case_name << " " << name << ": " << r.error();
      EXPECT_TRUE(r->converged) << case_name << " " << name;
      // The simplex stops on a cost spread of 1e-6; the quasi-Newton runs
      // stop on a gradient below 1e-5, which leaves the maximum exact to
      // rounding.
      const double tolerance = std::string(name) == "Nelder-Mead" ? 1e-5 : 1e-8;
      EXPECT_NEAR(-r->f, peer.at(case_name), tolerance) << case_name << " " << name;
    }
  }
}

// ---------------------------------------------------------------------------
// Finite-difference gradients

struct Evaluation {
  Vec at;
  double value;
};

TEST(CentralDifference, EvaluatesPlusThenMinusPerCoordinateAndStopsAtTheFirstFailure) {
  struct Case {
    const char* name;
    Vec x;
    std::size_t fail_at;  // index of the failing evaluation; past the end for none
    std::size_t evaluations;
  };
  const Case cases[] = {
      {"no failure", {1.0, -2.0}, 99, 4},
      {"first evaluation fails", {1.0, -2.0}, 0, 1},
      {"third evaluation fails", {1.0, -2.0}, 2, 3},
      {"empty point", {}, 0, 0},
  };
  for (const Case& c : cases) {
    std::vector<Vec> seen;
    const auto g = central_difference(c.x, 1e-3, [&](std::span<const double> w) -> TextResult<double> {
      seen.emplace_back(w.begin(), w.end());
      if (seen.size() == c.fail_at + 1) return fail_text("non-finite log-likelihood");
      return w[0] * w[0] + 3.0 * w[w.size() - 1];
    });
    EXPECT_EQ(seen.size(), c.evaluations) << c.name;
    if (c.evaluations == 0) {
      EXPECT_EQ(g.value(), Vec{}) << c.name;
    } else if (c.fail_at < c.evaluations) {
      EXPECT_EQ(g.error(), "non-finite log-likelihood") << c.name;
    } else {
      const double h0 = 2e-3, h1 = 3e-3;
      EXPECT_EQ(seen, (std::vector<Vec>{{1 + h0, -2}, {1 - h0, -2}, {1, -2 + h1}, {1, -2 - h1}})) << c.name;
      EXPECT_NEAR(g.value()[0], 2.0, 1e-12) << c.name;   // d/dx x² at 1
      EXPECT_NEAR(g.value()[1], 3.0, 1e-12) << c.name;
    }
  }
}

TEST(FiniteDiffGradNegll, MatchesTheAnalyticGradientAndPassesFailuresOn) {
  const SarimaxObjective lynx = log_lynx();
  const Vec x{2.5, -1.0, 1.0, -1.0};
  const Vec fd = runners::finite_diff_grad_negll(lynx, x, 1e-5).value();
  const Vec analytic = lynx.analytical_gradient_negloglike(x).value();
  ASSERT_EQ(fd.size(), analytic.size());
  for (std::size_t i = 0; i < fd.size(); ++i) {
    EXPECT_NEAR(fd[i], analytic[i], 1e-5 * std::fmax(1.0, std::fabs(analytic[i]))) << i;
  }
  EXPECT_EQ(runners::finite_diff_grad_negll(unbuildable(), Vec{0.3, 0.0}, 1e-5).error(),
            "state space construction failed: Seasonal differencing D > 1 is not yet supported");
  // A point of the wrong length would fail at its first evaluation.
  EXPECT_EQ(runners::finite_diff_grad_negll(lynx, Vec{}, 1e-5).value(), Vec{});
}

TEST(FiniteDiffGradProfileNegll, MatchesTheAnalyticGradientAndPassesFailuresOn) {
  const std::size_t n = 150;
  Columns exog{fx::simulate_normal(n, 71)};
  Vec y = fx::simulate_arma(n, {0.6}, {0.3}, 72);
  for (std::size_t t = 0; t < n; ++t) y[t] += 0.8 * exog[0][t];
  const ProfiledSarimaxObjective prof(y, exog, cfg({1, 0, 1, 0, 0, 0, 0}, Trend::None, 1));
  // The betas are optimal at every point, so the profile's slope is the full
  // model's slope in the remaining coordinates.
  const Vec x{0.5, 0.2, 0.1};
  const Vec fd = runners::finite_diff_grad_profile_negll(prof, x, 1e-5).value();
  const Vec analytic = prof.analytical_gradient_negloglike(x).value();
  ASSERT_EQ(fd.size(), analytic.size());
  for (std::size_t i = 0; i < fd.size(); ++i) {
    EXPECT_NEAR(fd[i], analytic[i], 1e-5 * std::fmax(1.0, std::fabs(analytic[i]))) << i;
  }
  EXPECT_EQ(runners::finite_diff_grad_profile_negll(prof, Vec{0.5, 0.2, 0.1, 0.0}, 1e-5).error(),
            "profiled parameter length mismatch: expected 3, got 4");
  EXPECT_EQ(runners::finite_diff_grad_profile_negll(prof, Vec{}, 1e-5).value(), Vec{});
}

}  // namespace
