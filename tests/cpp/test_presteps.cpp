// The CSS pre-estimate and the warm start; reference values from
// tests/data/make_presteps_reference.py.

#include "peltaro/estimation/presteps.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>

#include "peltaro/core/css.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/fit_result.hpp"
#include "peltaro/estimation/start_params.hpp"
#include "runner_reference.hpp"

namespace peltaro::estimation {
namespace {

namespace fx = score_fixtures;
using fx::cfg;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Σ (x_i − centre_i)², counting its calls.
struct CountingQuadratic {
  Vec centre;
  std::size_t* calls;
  double operator()(std::span<const double> x) const {
    ++*calls;
    double f = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) f += (x[i] - centre[i]) * (x[i] - centre[i]);
    return f;
  }
};

// A failed value (not finite, or at or above a quarter of the largest double)
// is answered with the penalty and a zero gradient, and counted.
TEST(CssEvaluation, AFailedValueGetsThePenaltyAndAZeroGradient) {
  const double below = std::nextafter(CSS_FAILED_FROM, 0.0);
  const std::pair<double, double> cases[] = {  // cost → answer
      {NaN, PENALTY}, {INF, PENALTY}, {-INF, PENALTY}, {PENALTY, PENALTY},
      {CSS_FAILED_FROM, PENALTY}, {below, below}, {-3.5, -3.5}};
  for (const auto& [value, answer] : cases) {
    CssEvaluation eval([v = value](std::span<const double>) { return v; }, 5, 2);
    Vec g{7.0, 7.0};
    EXPECT_EQ(eval(Vec{0.1, 0.2}, g), answer) << value;
    EXPECT_EQ(g, Vec(2, 0.0)) << value;
    EXPECT_EQ(eval.budget().evals(), 1u);
  }
}

// The first `limit` requests cost 2n + 1 evaluations and get the central
// difference gradient; later ones cost one and get a zero gradient.
TEST(CssEvaluation, CountsRequestsUpToTheLimitThenAnswersWithoutGradient) {
  std::size_t calls = 0;
  CssEvaluation eval(CountingQuadratic{{1.0, 1.0}, &calls}, 2, 2);
  for (std::size_t request = 1; request <= 3; ++request) {
    Vec g(2, 7.0);
    const std::size_t before = calls;
    EXPECT_EQ(eval(Vec{0.0, 3.0}, g), 5.0);
    const bool counted = request <= 2;
    EXPECT_EQ(calls - before, counted ? 5u : 1u) << request;
    EXPECT_NEAR(g[0], counted ? -2.0 : 0.0, 1e-6) << request;
    EXPECT_NEAR(g[1], counted ? 4.0 : 0.0, 1e-6) << request;
  }
  EXPECT_TRUE(eval.budget().evals() == 2u && eval.budget().exhausted());
}

TEST(RunLbfgsbCss, StaysInTheBoxAndStopsAtTheLimit) {
  std::size_t calls = 0;
  const CountingQuadratic far{{20.0, -3.0}, &calls};
  const BoundsList box{{-CSS_BOX, CSS_BOX}, {-CSS_BOX, CSS_BOX}};
  const auto free_run = run_lbfgsb_css(far, Vec{0.0, 0.0}, 100, box);
  ASSERT_TRUE(free_run.has_value());
  EXPECT_TRUE(free_run->converged && free_run->n_iter < 100u);
  EXPECT_EQ(free_run->x[0], 10.0);
  EXPECT_NEAR(free_run->x[1], -3.0, 1e-6);

  calls = 0;
  const auto limited = run_lbfgsb_css(far, Vec{0.0, 0.0}, 2, box);
  ASSERT_TRUE(limited.has_value());
  EXPECT_TRUE(limited->n_iter == 2u && !limited->converged);
  EXPECT_GT(calls, 2u * 5u);  // at least one uncounted request after the two counted ones
}

// Only the ARMA coordinates are boxed: trend and regression coefficients are
// in the data's units, and the variance does not enter the criterion.
TEST(CssBounds, BoxOnlyTheArmaCoordinates) {
  const Bound free{}, box{-CSS_BOX, CSS_BOX};
  SarimaxConfig config;
  config.order = {.p = 1, .q = 1, .P = 1, .s = 4};
  config.trend = core::Trend::ConstantLinear;
  config.n_exog = 1;
  EXPECT_EQ(css_bounds(config), (BoundsList{free, free, free, box, box, box, free}));
}

TEST(CssSimplex, MovesLargeCoordinatesByFivePercentAndSmallOnesByAFixedStep) {
  const Vec x0{0.2, 0.1, -0.2, 0.0, -0.1, NaN};
  const Vec moved{0.21, 0.125, -0.21, 0.025, -0.075, NaN};
  const auto simplex = css_simplex(x0);
  ASSERT_EQ(simplex.size(), x0.size() + 1);
  for (std::size_t v = 0; v < simplex.size(); ++v) {
    for (std::size_t j = 0; j < x0.size(); ++j) {
      const double want = v == j + 1 ? moved[j] : x0[j];
      if (std::isnan(want)) EXPECT_TRUE(std::isnan(simplex[v][j]));
      else EXPECT_DOUBLE_EQ(simplex[v][j], want) << "vertex " << v << ", " << j;
    }
  }
}

Vec airline() {
  return runner_reference::mapped("airpassengers.csv",
                                  [](double v) { return 100.0 * std::log(v); });
}

// No start, no evaluable point, or a model that cannot be fitted.
TEST(Presteps, ProposeNothingWhereThereIsNothingToStartFrom) {
  using core::Trend;
  const Vec y = fx::simulate_arma(80, {0.5}, {}, 3), air = airline();
  const Columns short_column{Vec(air.size() - 1, 1.0)};
  // No parameters; a variance that cannot be unconstrained; no sum of squares anywhere.
  EXPECT_FALSE(run_css_optimization(y, cfg({0, 0, 0, 0, 0, 0, 0}, Trend::None, 0, true), Vec{},
                                    300, nullptr));
  EXPECT_FALSE(run_css_optimization(y, cfg({1, 0, 0, 0, 0, 0, 0}), Vec{0.5, 0.0}, 300, nullptr));
  EXPECT_FALSE(run_css_optimization(Vec(80, 4.0), cfg({1, 1, 1, 0, 0, 0, 0}), Vec{0.3, 0.2, 1.0},
                                    300, nullptr));
  // A series too short; a regressor of another length; no system for a
  // second seasonal difference.
  EXPECT_FALSE(run_sd_warm_start(fx::head(air, 27), cfg({0, 1, 1, 0, 1, 1, 12}), nullptr));
  EXPECT_FALSE(run_sd_warm_start(air, cfg({1, 1, 0, 0, 0, 0, 0}, Trend::None, 1), &short_column));
  EXPECT_FALSE(run_sd_warm_start(air, cfg({1, 0, 1, 0, 2, 0, 4}), nullptr));
}

struct Series {
  std::string name;
  Vec y;
  SarimaxConfig config;
  std::optional<Columns> exog{};
  double loglike = NaN;  // the reference's value and parameters
  Vec params{};
};

// The reference file's lines "kind,name,value,coefficients..." of one kind,
// for the reference runner's series and the series of the reference script.
std::vector<Series> reference(const std::string& kind) {
  std::vector<Series> out;
  for (const auto& c : runner_reference::cases(false)) out.push_back({c.name, c.y, c.config});
  Vec sim;
  std::ifstream sim_file(PELTARO_TEST_DATA_DIR "/css_sim_arma11.csv");
  for (double v; sim_file >> v;) sim.push_back(v);
  out.push_back({"sim_arma11", sim, cfg({1, 0, 1, 0, 0, 0, 0})});
  out.push_back({"seatbelts_arima111_exog", fx::log_of(fx::load_csv_column("seatbelts.csv", 2)),
                 cfg({1, 1, 1, 0, 0, 0, 0}, core::Trend::None, 2),
                 Columns{fx::load_csv_column("seatbelts.csv", 6),
                         fx::load_csv_column("seatbelts.csv", 8)}});
  std::ifstream in(PELTARO_TEST_DATA_DIR "/presteps_reference.csv");
  for (std::string line, k, name, cell; std::getline(in, line);) {
    std::stringstream ss(line);
    std::getline(ss, k, ',');
    std::getline(ss, name, ',');
    for (Series& c : out) {
      if (k != kind || c.name != name) continue;
      for (Vec& v = c.params; std::getline(ss, cell, ',');) v.push_back(std::stod(cell));
      c.loglike = c.params.front();
      c.params.erase(c.params.begin());
    }
  }
  std::erase_if(out, [](const Series& c) { return std::isnan(c.loglike); });
  return out;
}

// From the computed start values both stages reach scipy's maximum of the
// same criterion: the bounded stage to its coefficients, the simplex, with its
// looser spread tolerance, to its value.
TEST(RunCssOptimization, BothStagesReachTheMaximumOfTheCriterion) {
  const std::vector<Series> cases = reference("css");
  ASSERT_EQ(cases.size(), 4u);
  for (const Series& c : cases) {
    SCOPED_TRACE(c.name);
    const Columns* exog = c.exog ? &*c.exog : nullptr;
    const auto css_at = [&](const Vec& params) {
      const auto split = core::SarimaxParams::from_flat(params, c.config);
      return core::css_loglike_with_exog(c.y, c.config, *split, exog);
    };
    const auto start = validate_and_get_start_params(c.y, c.config, nullptr, exog);
    ASSERT_TRUE(start.has_value());

    const auto bounded = run_css_optimization(c.y, c.config, *start, 300, exog);
    ASSERT_TRUE(bounded.has_value());
    EXPECT_NEAR(css_at(*bounded), c.loglike, 1e-9);
    for (std::size_t i = 0; i < c.params.size(); ++i) {  // no trend: the coefficients lead
      EXPECT_NEAR((*bounded)[i], c.params[i], 1e-5) << i;
    }

    const auto x0 = core::transform_params_inner(*start, c.config, false);
    const auto simplex = run_nelder_mead_css(CssObjective(c.y, c.exog, c.config), *x0, 300);
    ASSERT_TRUE(simplex.has_value());
    const auto params = core::transform_params_inner(simplex->x, c.config, true);
    EXPECT_NEAR(css_at(*params), c.loglike, 5e-4);  // the start values lie 0.07 to 9 below
  }
}

// A tie, here minus infinity on both sides (no system is built for a second
// seasonal difference), keeps the start values; on the airline model the CSS
// estimate is strictly better and replaces them.
TEST(SdWarmStartValues, TakeTheCssEstimateOnlyWhenItsLikelihoodIsStrictlyHigher) {
  const Vec y = airline();
  using Case = std::pair<core::SarimaxOrder, bool>;  // the CSS estimate taken
  for (const auto& [order, css_taken] :
       {Case{{1, 0, 1, 0, 2, 0, 4}, false}, Case{{0, 1, 1, 0, 1, 1, 12}, true}}) {
    const SarimaxConfig config = cfg(order, core::Trend::None, 0, false, true, /*simple diff*/ true);
    const auto w = core::prepare_endog(y, config, nullptr);
    const auto start = validate_and_get_start_params(y, config, nullptr, nullptr);
    ASSERT_TRUE(w && start);
    const auto css = run_css_optimization(y, config, *start, 200, nullptr);
    ASSERT_TRUE(css && *css != *start);
    const auto got = sd_warm_start_values(y, config, nullptr, w->series, nullptr);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, css_taken ? *css : *start) << order.s;
  }
}

// From the computed start values the warm start reaches statsmodels' maximum
// of the simply differenced model, also where there is nothing to difference.
TEST(RunSdWarmStart, LandsOnTheSimplyDifferencedMaximum) {
  const std::vector<Series> cases = reference("sd");
  ASSERT_EQ(cases.size(), 2u);
  for (const Series& c : cases) {
    SCOPED_TRACE(c.name);
    const auto proposal = run_sd_warm_start(c.y, c.config, nullptr);
    ASSERT_TRUE(proposal.has_value());
    SarimaxConfig sd = c.config;
    sd.simple_differencing = true;
    const auto w = core::prepare_endog(c.y, sd, nullptr);
    // The start values lie 0.08 (lakehuron) and 4.4 (airline) below.
    EXPECT_NEAR(eval_kf_loglike_constrained(w->series, sd, *proposal, nullptr), c.loglike, 1e-6);
    for (std::size_t i = 0; i < c.params.size(); ++i) {
      EXPECT_NEAR((*proposal)[i], c.params[i], 1e-4 * std::fmax(1.0, std::fabs(c.params[i]))) << i;
    }
  }
}

}  // namespace
}  // namespace peltaro::estimation
