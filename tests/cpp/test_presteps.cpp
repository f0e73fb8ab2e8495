// The CSS pre-estimate and the warm start: the bounded stage's answer to each
// request, its box and limit, the simplex of the fallback stage, proposals
// refused, the CSS maximum against scipy and the warm start against
// statsmodels (tests/data/make_presteps_reference.py).

#include "peltaro/estimation/presteps.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include "peltaro/core/css.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/fit_result.hpp"
#include "peltaro/estimation/start_params.hpp"
#include "score_fixtures.hpp"

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

TEST(CssEvaluation, CountsRequestsUpToTheLimitThenAnswersWithoutGradient) {
  std::size_t calls = 0;
  CssEvaluation eval(CountingQuadratic{{1.0, 1.0}, &calls}, 2, 2);
  const Vec x{0.0, 3.0};
  for (std::size_t request = 1; request <= 3; ++request) {
    Vec g(2, 7.0);
    const std::size_t before = calls;
    EXPECT_EQ(eval(x, g), 5.0);
    const bool counted = request <= 2;
    EXPECT_EQ(calls - before, counted ? 5u : 1u) << request;  // value, then ± each coordinate
    EXPECT_NEAR(g[0], counted ? -2.0 : 0.0, 1e-6) << request;
    EXPECT_NEAR(g[1], counted ? 4.0 : 0.0, 1e-6) << request;
  }
  EXPECT_EQ(eval.budget().evals(), 2u);
  EXPECT_TRUE(eval.budget().exhausted());
}

TEST(RunLbfgsbCss, StaysInTheBoxAndStopsAtTheLimit) {
  std::size_t calls = 0;
  const CountingQuadratic far{{20.0, -3.0}, &calls};
  const auto free_run = run_lbfgsb_css(far, Vec{0.0, 0.0}, 100);
  ASSERT_TRUE(free_run.has_value());
  EXPECT_TRUE(free_run->converged);
  EXPECT_EQ(free_run->x[0], CSS_BOX);
  EXPECT_NEAR(free_run->x[1], -3.0, 1e-6);
  EXPECT_LT(free_run->n_iter, 100u);

  calls = 0;
  const auto limited = run_lbfgsb_css(far, Vec{0.0, 0.0}, 2);
  ASSERT_TRUE(limited.has_value());
  EXPECT_EQ(limited->n_iter, 2u);
  EXPECT_FALSE(limited->converged);
  EXPECT_GT(calls, 2u * 5u);  // at least one uncounted request after the two counted ones
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

TEST(RunCssOptimization, ProposesNothingWithoutAStartOrAnEvaluablePoint) {
  const Vec y = fx::simulate_arma(80, {0.5}, {}, 3);
  const Vec flat(80, 4.0);
  const struct {
    const char* name;
    const Vec& y;
    SarimaxConfig config;
    Vec start;
  } cases[] = {
      {"no parameters", y, cfg({0, 0, 0, 0, 0, 0, 0}, core::Trend::None, 0, true), {}},
      {"zero variance", y, cfg({1, 0, 0, 0, 0, 0, 0}), {0.5, 0.0}},
      {"negative variance", y, cfg({1, 0, 0, 0, 0, 0, 0}), {0.5, -1.0}},
      {"no sum of squares anywhere", flat, cfg({1, 1, 1, 0, 0, 0, 0}), {0.3, 0.2, 1.0}},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(run_css_optimization(c.y, c.config, c.start, 300, nullptr)) << c.name;
  }
}

// Lines "kind,name,value,coefficients..." of the reference file.
std::map<std::string, std::pair<double, Vec>> reference(const std::string& kind) {
  std::map<std::string, std::pair<double, Vec>> out;
  std::ifstream in(PELTARO_TEST_DATA_DIR "/presteps_reference.csv");
  for (std::string line; std::getline(in, line);) {
    std::stringstream ss(line);
    std::string k, name, cell;
    std::getline(ss, k, ',');
    std::getline(ss, name, ',');
    if (k != kind) continue;
    Vec values;
    while (std::getline(ss, cell, ',')) values.push_back(std::stod(cell));
    out[name] = {values.front(), Vec(values.begin() + 1, values.end())};
  }
  return out;
}

struct Series {
  std::string name;
  Vec y;
  SarimaxConfig config;
  std::optional<Columns> exog;
};

Vec simulated_arma11() {
  Vec y;
  std::ifstream in(PELTARO_TEST_DATA_DIR "/css_sim_arma11.csv");
  for (double v; in >> v;) y.push_back(v);
  return y;
}

Vec column(const char* file, std::size_t index, double (*f)(double)) {
  Vec y = fx::load_csv_column(file, index);
  for (double& v : y) v = f(v);
  return y;
}

Vec airline() {
  return column("airpassengers.csv", 1, [](double v) { return 100.0 * std::log(v); });
}

std::vector<Series> css_cases() {
  const Columns seatbelt_exog{fx::load_csv_column("seatbelts.csv", 6),
                              fx::load_csv_column("seatbelts.csv", 8)};
  return {
      {"sim_arma11", simulated_arma11(), cfg({1, 0, 1, 0, 0, 0, 0}), std::nullopt},
      {"lakehuron_arma11", column("lakehuron.csv", 1, [](double v) { return v - 579.0; }),
       cfg({1, 0, 1, 0, 0, 0, 0}), std::nullopt},
      {"airline", airline(), cfg({0, 1, 1, 0, 1, 1, 12}), std::nullopt},
      {"seatbelts_arima111_exog", column("seatbelts.csv", 2, [](double v) { return std::log(v); }),
       cfg({1, 1, 1, 0, 0, 0, 0}, core::Trend::None, 2), seatbelt_exog},
  };
}

// The CSS log-likelihood at model parameters.
double css_at(const Series& c, const Vec& params) {
  const auto split = core::SarimaxParams::from_flat(params, c.config);
  return core::css_loglike_with_exog(c.y, c.config, *split, c.exog ? &*c.exog : nullptr);
}

// From the computed start values both stages reach scipy's maximum of the
// same criterion: the bounded stage to its coefficients, the simplex, with its
// looser spread tolerance, to its value.
TEST(RunCssOptimization, BothStagesReachTheMaximumOfTheCriterion) {
  const auto want = reference("css");
  for (const Series& c : css_cases()) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(want.count(c.name), 1u);
    const auto& [ll_max, coefs] = want.at(c.name);
    const Columns* exog = c.exog ? &*c.exog : nullptr;
    const auto start = validate_and_get_start_params(c.y, c.config, nullptr, exog);
    ASSERT_TRUE(start.has_value());

    const auto bounded = run_css_optimization(c.y, c.config, *start, 300, exog);
    ASSERT_TRUE(bounded.has_value());
    EXPECT_NEAR(css_at(c, *bounded), ll_max, 1e-9);
    for (std::size_t i = 0; i < coefs.size(); ++i) {  // no trend: the coefficients lead
      EXPECT_NEAR((*bounded)[i], coefs[i], 1e-5) << i;
    }

    const auto x0 = core::transform_params_inner(*start, c.config, false);
    const auto simplex = run_nelder_mead_css(CssObjective(c.y, c.exog, c.config), *x0, 300);
    ASSERT_TRUE(simplex.has_value());
    const auto params = core::transform_params_inner(simplex->x, c.config, true);
    EXPECT_NEAR(css_at(c, *params), ll_max, 5e-4);  // the start values lie 0.07 to 9 below
  }
}

// A tie, here minus infinity on both sides (no system is built for a second
// seasonal difference), keeps the start values; on the airline model the CSS
// estimate is strictly better and replaces them.
TEST(SdWarmStartValues, TakeTheCssEstimateOnlyWhenItsLikelihoodIsStrictlyHigher) {
  const Vec y = airline();
  const auto sd = [](core::SarimaxOrder o) {
    return cfg(o, core::Trend::None, 0, false, true, /*simple_diff=*/true);
  };
  const std::tuple<const char*, SarimaxConfig, bool> cases[] = {
      {"second seasonal difference", sd({1, 0, 1, 0, 2, 0, 4}), false},
      {"airline", sd({0, 1, 1, 0, 1, 1, 12}), true},
  };
  for (const auto& [name, config, css_taken] : cases) {
    SCOPED_TRACE(name);
    const auto w = core::prepare_endog(y, config, nullptr);
    const auto start = validate_and_get_start_params(y, config, nullptr, nullptr);
    ASSERT_TRUE(w && start);
    const auto css = run_css_optimization(y, config, *start, 200, nullptr);
    ASSERT_TRUE(css.has_value());
    ASSERT_NE(*css, *start);
    const auto got = sd_warm_start_values(y, config, nullptr, w->series, nullptr);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, css_taken ? *css : *start);
  }
}

// From the computed start values the warm start reaches statsmodels' maximum
// of the simply differenced model, also where there is nothing to difference.
TEST(RunSdWarmStart, LandsOnTheSimplyDifferencedMaximum) {
  const auto want = reference("sd");
  const Series cases[] = {
      {"airline", airline(), cfg({0, 1, 1, 0, 1, 1, 12}), std::nullopt},
      {"lakehuron_arma11", column("lakehuron.csv", 1, [](double v) { return v - 579.0; }),
       cfg({1, 0, 1, 0, 0, 0, 0}), std::nullopt},
  };
  for (const Series& c : cases) {
    SCOPED_TRACE(c.name);
    const auto& [llf, params] = want.at(c.name);
    const auto proposal = run_sd_warm_start(c.y, c.config, nullptr);
    ASSERT_TRUE(proposal.has_value());
    SarimaxConfig sd = c.config;
    sd.simple_differencing = true;
    const auto w = core::prepare_endog(c.y, sd, nullptr);
    // The start values lie 0.08 (lakehuron) and 4.4 (airline) below.
    EXPECT_NEAR(eval_kf_loglike_constrained(w->series, sd, *proposal, nullptr), llf, 1e-6);
    for (std::size_t i = 0; i < params.size(); ++i) {
      EXPECT_NEAR((*proposal)[i], params[i], 1e-4 * std::fmax(1.0, std::fabs(params[i]))) << i;
    }
  }
}

TEST(RunSdWarmStart, ProposesNothingWhereTheModelCannotBeFitted) {
  const Vec y = airline();
  const Columns short_column{Vec(y.size() - 1, 1.0)};
  const std::tuple<const char*, Vec, SarimaxConfig, const Columns*> cases[] = {
      {"series too short", Vec(y.begin(), y.begin() + 27), cfg({0, 1, 1, 0, 1, 1, 12}), nullptr},
      {"regressor of another length", y, cfg({1, 1, 0, 0, 0, 0, 0}, core::Trend::None, 1),
       &short_column},
      {"no system for a second seasonal difference", y, cfg({1, 0, 1, 0, 2, 0, 4}), nullptr},
  };
  for (const auto& [name, series, config, exog] : cases) {
    EXPECT_FALSE(run_sd_warm_start(series, config, exog)) << name;
  }
}

}  // namespace
}  // namespace peltaro::estimation
