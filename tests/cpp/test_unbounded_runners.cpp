// The unbounded runners: their starts, runs that take no step, error texts,
// optima against statsmodels, and the central differences.

#include "peltaro/estimation/unbounded_runners.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/finite_difference.hpp"
#include "runner_reference.hpp"
#include "score_fixtures.hpp"

namespace {

using namespace peltaro;
using namespace peltaro::estimation;
using core::Trend;
namespace fx = peltaro::score_fixtures;
using fx::cfg;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::pair<std::string, TextResult<RunnerResult> (*)(SarimaxObjective, Vec, std::uint64_t)>
    kRunners[] = {{"Nelder-Mead", runners::run_nelder_mead},
                  {"BFGS", runners::run_bfgs},
                  {"L-BFGS", runners::run_lbfgs}};

// Log lynx trappings, AR(2) with a constant: x = [c, AR1, AR2, ln sigma2].
SarimaxObjective log_lynx() {
  return {fx::log_of(fx::load_csv_column("lynx.csv", 1)), std::nullopt,
          cfg({2, 0, 0, 0, 0, 0, 0}, Trend::Constant)};
}
// Seasonal differencing twice cannot be built: every point costs the penalty.
SarimaxObjective unbuildable() {
  return {fx::load_csv_column("nile.csv", 1), std::nullopt, cfg({1, 0, 0, 0, 2, 0, 4})};
}

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
  const std::tuple<const char*, TextResult<Vec>, Vec> cases[] = {
      {"zero and NaN reach the floor", Vec{0.0, kNaN}, {100.0, 100.0}},
      {"magnitude of the entry", Vec{0.5, -0.5, 10.0}, {0.2, 0.2, 0.01}},
      {"below the floor", Vec{0.0005}, {100.0}},
      {"infinite entry", Vec{kInf}, {0.0}},
      {"failed gradient", fail_text("no gradient"), {0.1, 0.1, 0.1}},
  };
  for (const auto& [name, g0, diagonal] : cases) {
    const auto n = static_cast<Eigen::Index>(diagonal.size());
    const Eigen::MatrixXd h = runners::bfgs_initial_inverse_hessian(g0, diagonal.size());
    ASSERT_TRUE(h.rows() == n && h.cols() == n) << name;
    const Eigen::MatrixXd want = Eigen::Map<const Eigen::VectorXd>(diagonal.data(), n).asDiagonal();
    EXPECT_TRUE(h.isApprox(want, 1e-15)) << name << ":\n" << h;
  }
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

TEST(Runners, FailuresNameTheSolver) {
  const Vec x0{0.3};
  const Walled nan_wall{kNaN}, inf_wall{kInf};
  const std::pair<TextResult<RunnerResult>, std::string> cases[] = {
      {runners::nelder_mead_search(nan_wall, x0, 100),
       "Nelder-Mead failed: cost is NaN at a trial point"},
      {runners::bfgs_search(inf_wall, x0, Eigen::MatrixXd::Identity(1, 1), 100),
       "BFGS failed: line search: non-finite cost or slope at step 1"},
      {runners::lbfgs_search(inf_wall, x0, 100),
       "L-BFGS failed: line search: non-finite cost or slope at step 1"},
      {runners::read_outcome("Nelder-Mead", {{{}, engine::Termination::SolverConverged}}),
       "Nelder-Mead: no best parameter found"},
  };
  for (const auto& [result, text] : cases) {
    ASSERT_FALSE(result.has_value()) << text;
    EXPECT_EQ(result.error(), text);
  }
}

// With no iterations allowed a runner returns its best start; on a plateau of
// penalties the simplex is flat and the gradient zero, so no runner steps,
// yet nothing there could be evaluated. Neither run has converged.
TEST(Runners, RunsThatTakeNoStepReturnTheBestStartUnconverged) {
  const SarimaxObjective lynx = log_lynx();
  const Vec x0{3.0, 0.5, 0.1, 0.0}, plateau{0.3, 0.0};
  Vec best_vertex = x0;
  for (const Vec& v : runners::nelder_mead_simplex(x0)) {
    if (lynx.cost(v) < lynx.cost(best_vertex)) best_vertex = v;
  }
  ASSERT_NE(best_vertex, x0);  // the test needs a vertex better than the start
  for (const auto& [name, run] : kRunners) {
    const auto zero = run(lynx.clone(), x0, 0);
    const auto flat = run(unbuildable(), plateau, 50);
    ASSERT_TRUE(zero.has_value() && flat.has_value()) << name;
    const Vec& best = name == "Nelder-Mead" ? best_vertex : x0;
    EXPECT_EQ(zero->x, best) << name;
    EXPECT_EQ(zero->f, lynx.cost(best)) << name;
    EXPECT_EQ(flat->x, plateau) << name;
    EXPECT_EQ(flat->f, PENALTY) << name;
    for (const RunnerResult* r : {&*zero, &*flat}) {
      EXPECT_EQ(r->n_iter, 0u) << name;
      EXPECT_FALSE(r->converged) << name;
    }
  }
}

TEST(Runners, ReachThePeersMaximumLikelihood) {
  for (const auto& c : runner_reference::cases(false)) {
    const SarimaxObjective objective(c.y, std::nullopt, c.config);
    const Vec x0 = core::transform_params_inner(c.start, c.config, false).value();
    for (const auto& [name, run] : kRunners) {
      const auto r = run(objective.clone(), x0, 10000);
      ASSERT_TRUE(r.has_value()) << c.name << " " << name << ": " << r.error();
      EXPECT_TRUE(r->converged) << c.name << " " << name;
      // The simplex stops on a cost spread of 1e-6, the others on a gradient below 1e-5.
      EXPECT_NEAR(-r->f, c.loglike, name == "Nelder-Mead" ? 1e-5 : 1e-8) << c.name << " " << name;
    }
  }
}

TEST(CentralDifference, EvaluatesPlusThenMinusPerCoordinateAndStopsAtTheFirstFailure) {
  // Index of the failing evaluation (past the end for none), evaluations made.
  const std::tuple<Vec, std::size_t, std::size_t> cases[] = {
      {{1.0, -2.0}, 99, 4}, {{1.0, -2.0}, 0, 1}, {{1.0, -2.0}, 1, 2}, {{1.0, -2.0}, 2, 3},
      {{}, 0, 0}};
  for (const auto& [x, fail_at, evaluations] : cases) {
    std::vector<Vec> seen;
    const auto negll = [&](std::span<const double> w) -> TextResult<double> {
      seen.emplace_back(w.begin(), w.end());
      if (seen.size() == fail_at + 1) return fail_text("non-finite log-likelihood");
      return w[0] * w[0] + 3.0 * w[w.size() - 1];
    };
    const auto g = central_difference(x, 1e-3, negll);
    ASSERT_EQ(seen.size(), evaluations) << fail_at;
    if (evaluations == 0) {
      EXPECT_EQ(g.value(), Vec{});
    } else if (fail_at < evaluations) {
      EXPECT_EQ(g.error(), "non-finite log-likelihood") << fail_at;
    } else {
      const double h0 = 2e-3, h1 = 3e-3;
      EXPECT_EQ(seen, (std::vector<Vec>{{1 + h0, -2}, {1 - h0, -2}, {1, -2 + h1}, {1, -2 - h1}}));
      EXPECT_NEAR(g.value()[0], 2.0, 1e-12);  // d/dx x² at 1
      EXPECT_NEAR(g.value()[1], 3.0, 1e-12);
    }
  }
}

void expect_close(const Vec& fd, const Vec& analytic) {
  ASSERT_EQ(fd.size(), analytic.size());
  for (std::size_t i = 0; i < fd.size(); ++i) {
    EXPECT_NEAR(fd[i], analytic[i], 1e-5 * std::fmax(1.0, std::fabs(analytic[i]))) << i;
  }
}

TEST(FiniteDiffGradients, MatchTheAnalyticGradientsAndPassFailuresOn) {
  const SarimaxObjective lynx = log_lynx();
  const Vec x{2.5, -1.0, 1.0, -1.0};
  expect_close(runners::finite_diff_grad_negll(lynx, x, 1e-5).value(),
               lynx.analytical_gradient_negloglike(x).value());
  EXPECT_EQ(runners::finite_diff_grad_negll(unbuildable(), Vec{0.3, 0.0}, 1e-5).error(),
            "state space construction failed: Seasonal differencing D > 1 is not yet supported");
  EXPECT_EQ(runners::finite_diff_grad_negll(lynx, Vec{}, 1e-5).value(), Vec{});

  const std::size_t n = 150;
  Columns exog{fx::simulate_normal(n, 71)};
  Vec y = fx::simulate_arma(n, {0.6}, {0.3}, 72);
  for (std::size_t t = 0; t < n; ++t) y[t] += 0.8 * exog[0][t];
  const ProfiledSarimaxObjective prof(y, exog, cfg({1, 0, 1, 0, 0, 0, 0}, Trend::None, 1));
  // The betas are optimal at every point, so the profile's slope is the full
  // model's slope in the remaining coordinates.
  const Vec z{0.5, 0.2, 0.1};
  expect_close(runners::finite_diff_grad_profile_negll(prof, z, 1e-5).value(),
               prof.analytical_gradient_negloglike(z).value());
  EXPECT_EQ(runners::finite_diff_grad_profile_negll(prof, Vec{0.5, 0.2, 0.1, 0.0}, 1e-5).error(),
            "profiled parameter length mismatch: expected 3, got 4");
  EXPECT_EQ(runners::finite_diff_grad_profile_negll(prof, Vec{}, 1e-5).value(), Vec{});
}

// The curvature that starts a continuation, against second differences of
// the log-likelihood itself.
TEST(GradientDifferenceHessian, MatchesSecondDifferencesOfTheLikelihood) {
  const SarimaxObjective lynx = log_lynx();
  const Vec x{2.5, 1.2, -0.5, -1.0};
  const Vec g = lynx.analytical_gradient_negloglike(x).value();
  const auto h = runners::gradient_difference_hessian(lynx, x, g);
  ASSERT_TRUE(h);
  const double step = 1e-4;
  auto f = [&](Vec at) { return -lynx.eval_loglike(at).value(); };
  for (std::size_t i = 0; i < x.size(); ++i) {
    for (std::size_t j = 0; j < x.size(); ++j) {
      Vec pp = x, pm = x, mp = x, mm = x;
      pp[i] += step; pp[j] += step;
      pm[i] += step; pm[j] -= step;
      mp[i] -= step; mp[j] += step;
      mm[i] -= step; mm[j] -= step;
      const double want = (f(pp) - f(pm) - f(mp) + f(mm)) / (4 * step * step);
      EXPECT_NEAR((*h)(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)), want,
                  1e-3 * std::fmax(1.0, std::fabs(want)))
          << i << ", " << j;
    }
  }
  EXPECT_FALSE(runners::gradient_difference_hessian(unbuildable(), Vec{0.3, 0.0}, Vec{0.0, 0.0}));
}

}  // namespace
