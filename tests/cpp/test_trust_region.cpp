// The trust-region searches, their regression polish and Brent's minimiser.

#include "peltaro/estimation/trust_region.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <numbers>
#include <numeric>
#include <string>
#include <vector>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/brent.hpp"
#include "peltaro/estimation/start_params.hpp"
#include "runner_reference.hpp"

namespace {

using namespace peltaro;
using namespace peltaro::estimation;
using namespace peltaro::estimation::trust_region;
using core::SarimaxError;
using core::Trend;
namespace fx = peltaro::score_fixtures;
using fx::cfg;

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(TrustRegionStep, CutsBackToTheRadiusAndFloorsThePrediction) {
  const Eigen::MatrixXd I = Eigen::MatrixXd::Identity(2, 2);
  const double root_half = std::sqrt(0.5);
  struct Case { const char* name; double r; Eigen::MatrixXd H; Vec g, p; double norm, pred; };
  const Case cases[] = {
      {"inside the radius", 1.0, I, {0.3, -0.4}, {-0.3, 0.4}, 0.5, 0.25},
      {"cut back", 0.1, I, {0.3, -0.4}, {-0.06, 0.08}, 0.1, 0.05},
      {"uphill", 1.0, -I, {1.0, 0.0}, {1.0, 0.0}, 1.0, 1e-30},
      // The squared norm overflows; the step is still cut to the radius.
      {"very long", 1.0, 1e200 * I, {1.0, 1.0}, {-root_half, -root_half}, 1.0, std::sqrt(2.0)},
  };
  for (const Case& c : cases) {
    const TrustRegionStep s = trust_region_step(c.r, c.H, c.g);
    for (std::size_t i = 0; i < 2; ++i) EXPECT_NEAR(s.p[i], c.p[i], 1e-15) << c.name;
    EXPECT_NEAR(s.norm, c.norm, 1e-15) << c.name;
    EXPECT_NEAR(s.pred, c.pred, 1e-15 * c.pred) << c.name;
  }
  // 0·NaN spreads a NaN to the whole step, which stays unscaled.
  const TrustRegionStep s = trust_region_step(1e-3, I, Vec{std::nan(""), 5.0});
  EXPECT_TRUE(std::isnan(s.p[0]) && std::isnan(s.p[1]) && std::isnan(s.norm));
  EXPECT_EQ(s.pred, 1e-30);
}

// One coordinate, every point but the start failing; the start gradient 1
// gives a first step of 0.1 inside the radius 0.2. Each rejection quarters
// the radius, from the sixth on also halves it: ten take it below 1e-8. It
// is reset twice and the run stops at the third collapse. A start cost of
// +inf makes the ratio NaN, leaving the radius to the halvings (thirty a
// collapse). A run on the penalty or +inf is never converged.
TEST(TrustRegionSearch, RejectionsShrinkTheRadiusUntilItsThirdCollapse) {
  const Vec first_steps{0.1,       0.05,        0.0125,        0.003125,
                        7.8125e-4, 1.953125e-4, 2.44140625e-5, 3.0517578125e-6};
  struct Case { double f0; std::uint64_t n_iter; bool converged; };
  for (const Case& c : {Case{0.0, 30, true}, Case{PENALTY, 30, false}, Case{kInf, 90, false}}) {
    Vec trials;
    const PointCost cost = [&](std::span<const double> x) { return trials.push_back(-x[0]), kInf; };
    const PointGradient no_gradient = [](std::span<const double>) -> TextResult<Vec> {
      return fail_text("not needed");
    };
    const SearchResult r = trust_region_search(cost, no_gradient, {0.0}, c.f0, {1.0}, 500);
    EXPECT_EQ(r.n_iter, c.n_iter) << c.f0;
    EXPECT_EQ(trials.size(), c.n_iter) << c.f0;
    EXPECT_EQ(r.converged, c.converged) << c.f0;
    for (std::size_t k : {c.n_iter / 3, 2 * c.n_iter / 3}) EXPECT_EQ(trials[k], 0.1) << c.f0;
    if (c.f0 == 0.0) {
      EXPECT_EQ(Vec(trials.begin(), trials.begin() + 8), first_steps);
    }
  }
}

TEST(TrustRegionBrent, FindsTheMinimumOfClosedFormFunctions) {
  struct Case { const char* name; double (*f)(double); double a, b, x_min; };
  const Case cases[] = {
      {"exp(x) - 2x", [](double x) { return std::exp(x) - 2.0 * x; }, 0.0, 2.0, std::log(2.0)},
      {"cos", [](double x) { return std::cos(x); }, 2.0, 5.0, std::numbers::pi},
      // The second point fails, so +inf enters the parabola.
      {"fails past 1.5", [](double x) { return x > 1.5 ? kInf : (x - 1.2) * (x - 1.2); }, 0.0,
       3.0, 1.2},
      {"rising", [](double x) { return x; }, 1.0, 4.0, 1.0},
  };
  for (const Case& c : cases) {
    int evaluations = 0;
    const BrentMinimum m =
        brent_minimize([&](double x) { return ++evaluations, c.f(x); }, c.a, c.b);
    // The final interval lies within 2·tol1 of the best point.
    EXPECT_NEAR(m.x, c.x_min, 2.0 * (1e-5 * c.x_min + 1.4901161193847656e-08)) << c.name;
    EXPECT_EQ(m.f, c.f(m.x)) << c.name;
    EXPECT_LE(evaluations, 41) << c.name;
  }
}

// Runs the polish of coordinates [first, first + count) of x on the cost f
// and returns coordinate `first` of every point evaluated.
Vec polish(double (*f)(std::span<const double>), Vec& x, std::size_t first, std::size_t count,
           std::span<const double> y = {}, const Columns* exog = nullptr) {
  Vec seen;
  const PointCost cost = [&](std::span<const double> p) { return seen.push_back(p[first]), f(p); };
  polish_regression(cost, x, f(x), first, count, y, exog);
  return seen;
}

// On a cost falling without end every search takes one trial and 24
// doublings and every pass gains, so the pass count is the cap.
TEST(TrustRegionPolish, PassCountIsCappedByTheNumberOfCoefficients) {
  for (const auto& [n_exog, passes] : {std::pair<std::size_t, std::size_t>{1, 2}, {3, 4}, {9, 6}}) {
    Vec x(n_exog + 2, 0.0);
    const auto falling = [](std::span<const double> p) {
      return -std::accumulate(p.begin(), p.end(), 0.0);
    };
    EXPECT_EQ(polish(falling, x, 1, n_exog).size(), passes * n_exog * 26) << n_exog;
    EXPECT_TRUE(x.front() == 0.0 && x.back() == 0.0);
  }
}

// On a flat cost no trial gains: 24 trials either side, the coefficient
// unchanged. The first is c − 0.25·max(|c|, ratio, 1), ratio =
// max(sd(y)/sd(x), 1), sd(y) at least 1, sd(x) at least 1e-12, each 1 where
// it is undefined or 0.
TEST(TrustRegionPolish, FirstStepFollowsTheSpreadOfSeriesAndRegressor) {
  const Vec y{1.0, 3.0, 5.0, 7.0}, narrow{0.01, 0.03, 0.05, 0.07}, calm{0.1, 0.2, 0.3, 0.4};
  const double sd_y = 2.5819888974716112;
  struct Case { const char* name; Vec y; Columns exog; double c, h; };
  const Case cases[] = {
      {"no columns", y, {}, 2.0, 0.5},
      {"narrow column", y, {narrow}, 0.0, 25.0},
      {"calm series", calm, {narrow}, 0.0, 25.0 / sd_y},
      {"series of one value", Vec{2.0}, {narrow}, 0.0, 25.0 / sd_y},
      {"constant column", y, {Vec(4, 4.0)}, 0.0, 0.25 * sd_y},
      {"large coefficient", y, {narrow}, -400.0, 100.0},
  };
  for (const Case& c : cases) {
    Vec x{c.c};
    const Vec seen = polish([](std::span<const double>) { return 0.0; }, x, 0, 1, c.y,
                            c.exog.empty() ? nullptr : &c.exog);
    ASSERT_EQ(seen.size(), 48u) << c.name;
    EXPECT_NEAR(c.c - seen[0], c.h, 1e-12 * c.h) << c.name;
    EXPECT_EQ(x, Vec{c.c}) << c.name;
  }
}

// White noise plus a regressor a billion times smaller than its effect: at
// σ² = mean(y²) the gradient is below 1e-5, though the coefficient's
// least-squares value is about 2e9.
struct TinyRegressor {
  Vec y, z = fx::simulate_normal(120, 31);
  Columns exog{Vec{}};
  SarimaxConfig config = cfg({0, 0, 0, 0, 0, 0, 0}, Trend::None, 1);
  double ols = 0.0, log_mean_square = 0.0;
  TinyRegressor() {
    const Vec e = fx::simulate_normal(120, 32);
    double xy = 0.0, xx = 0.0, yy = 0.0;
    for (std::size_t t = 0; t < z.size(); ++t) {
      exog[0].push_back(1e-9 * z[t]);
      y.push_back(2.0 * z[t] + e[t]);
      xy += exog[0][t] * y[t], xx += exog[0][t] * exog[0][t], yy += y[t] * y[t];
    }
    ols = xy / xx;
    log_mean_square = std::log(yy / static_cast<double>(y.size()));
  }
  [[nodiscard]] SarimaxObjective objective() const { return {y, exog, config}; }
};

// No step is taken, yet the polish moves the coefficient to least squares.
// σ² a relative 1e-7 above mean(y²) gives a gradient of about 6e-6, too small
// for a step; 3e-6 above, about 2e-4, which a budget of 0 judges against 1e-3.
TEST(TrustRegionSingle, APolishFollowsEvenARunThatTakesNoStep) {
  const TinyRegressor m;
  for (const auto& [maxiter, offset, converged] :
       {std::tuple{500, 1e-7, true}, {0, 3e-6, true}, {0, 1.0, false}}) {
    const Vec x0{0.0, m.log_mean_square + offset};
    const auto r = fit_trust_region_single(m.objective(), x0, m.config, maxiter);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_TRUE(r->n_iter == 0 && r->converged == converged) << maxiter << " " << offset;
    EXPECT_EQ(r->x[1], x0[1]);
    EXPECT_NEAR(r->x[0], m.ols, 1e-5 * m.ols);
  }
}

// Seasonal differencing twice cannot be built, so no point has a cost (the
// fallback ends on the penalty, unconverged); at a variance of e^709.085
// there is a cost, but no finite-difference gradient.
TEST(TrustRegionSingle, WithoutAStartFallsBackToNelderMead) {
  const SarimaxObjective dead(fx::load_csv_column("nile.csv", 1), std::nullopt,
                              cfg({1, 0, 0, 0, 2, 0, 4}));
  const auto r = fit_trust_region_single(dead, Vec{0.3, 0.0}, dead.config(), 50);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->label == "nelder-mead (fallback)" && r->f == PENALTY && !r->converged);

  const TinyRegressor m;
  const Vec huge{0.0, 709.085};
  const auto moved = fit_trust_region_single(m.objective(), huge, m.config, 2000);
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(moved->label, "nelder-mead (fallback)");
  EXPECT_LT(moved->f, -m.objective().eval_loglike(huge).value());
}

struct Fit { std::string name; SarimaxObjective objective; Vec x0; double loglike; };

// statsmodels' maxima: the runner reference cases from their starts, and
// models with regressors (tests/data/make_regression_fit_reference.py) from
// computed start values.
std::vector<Fit> reference_fits() {
  const auto unconstrained = [](const Vec& start, const SarimaxConfig& config) {
    return core::transform_params_inner(start, config, false).value();
  };
  std::vector<Fit> out;
  for (const auto& c : runner_reference::cases(false)) {
    const Vec x0 = unconstrained(c.start, c.config);
    out.push_back({c.name, {c.y, std::nullopt, c.config}, x0, c.loglike});
  }
  std::map<std::string, double> loglike;
  std::ifstream in(PELTARO_TEST_DATA_DIR "/regression_fit_reference.csv");
  for (std::string name, rest; std::getline(in, name, ',') && std::getline(in, rest);) {
    if (!name.starts_with('#')) loglike[name] = std::stod(rest);
  }
  const auto add = [&](const char* name, const Vec& y, const Columns& exog, SarimaxConfig config) {
    const Vec start = start_params::compute_start_params(y, config, &exog).value();
    out.push_back({name, {y, exog, config}, unconstrained(start, config), loglike.at(name)});
  };
  Vec nile = fx::load_csv_column("nile.csv", 1), dam = fx::load_csv_column("nile.csv", 0);
  for (std::size_t t = 0; t < nile.size(); ++t) {
    nile[t] /= 100.0;
    dam[t] = dam[t] >= 1899.0 ? 1.0 : 0.0;  // the year the level drops
  }
  add("nile_ar1_c_dam", nile, {dam}, cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant, 1));
  add("drivers_ar2_c_law_petrol", fx::log_of(fx::load_csv_column("seatbelts.csv", 2)),
      {fx::load_csv_column("seatbelts.csv", 8), fx::load_csv_column("seatbelts.csv", 6)},
      cfg({2, 0, 0, 0, 0, 0, 0}, Trend::Constant, 2));
  return out;
}

// Without regressors the profiled variant is the single one.
TEST(TrustRegion, BothVariantsReachThePeersMaximumLikelihood) {
  for (const Fit& c : reference_fits()) {
    const SarimaxConfig& config = c.objective.config();
    const auto single = fit_trust_region_single(c.objective, c.x0, config, 500);
    const auto profile = fit_profile_trust_region(c.objective, c.x0, config, 500, false);
    for (const auto* r : {&single, &profile}) {
      ASSERT_TRUE(r->has_value()) << c.name << ": " << r->error().display();
      EXPECT_TRUE((*r)->converged) << c.name << " " << (*r)->label;
      EXPECT_NEAR(-(*r)->f, c.loglike, 1e-7) << c.name << " " << (*r)->label;
      // The cost reported is the full model's at the point reported.
      EXPECT_NEAR((*r)->f, -c.objective.eval_loglike((*r)->x).value(), 1e-9) << c.name;
    }
    if (config.n_exog > 0) {
      EXPECT_EQ(profile->label, "profile-trust-region");
    } else {
      EXPECT_EQ(profile->label, "trust-region");
      EXPECT_TRUE(profile->x == single->x && profile->n_iter == single->n_iter) << c.name;
    }
  }
}

// Budget 8, no caller start: 6 full-model iterations, then the profile from
// their point with what remains. With a caller start or a budget of 1 there
// is no warm-up; a budget of 0 still allows one profiled iteration.
TEST(TrustRegionProfile, WarmsUpWithThreeQuartersOfTheBudget) {
  const std::vector<Fit> fits = reference_fits();
  const Fit& c = fits.back();
  const auto fit = [&](const Vec& x0, std::uint64_t maxiter, bool given) {
    return fit_profile_trust_region(c.objective, x0, c.objective.config(), maxiter, given).value();
  };
  const auto warm = fit_trust_region_single(c.objective, c.x0, c.objective.config(), 6).value();
  ASSERT_EQ(warm.n_iter, 6u);  // the test needs a warm-up that uses its budget
  const auto rest = fit(warm.x, 2, true), whole = fit(c.x0, 8, false);
  EXPECT_TRUE(whole.x == rest.x && whole.f == rest.f);
  EXPECT_EQ(whole.n_iter, 6 + rest.n_iter);
  for (const auto& [maxiter, given] : {std::pair<std::uint64_t, bool>{1, false}, {8, true}}) {
    const auto cold = fit(c.x0, maxiter, given), plain = fit(c.x0, maxiter, true);
    EXPECT_TRUE(cold.x == plain.x && cold.n_iter == plain.n_iter) << maxiter;
    EXPECT_LE(cold.n_iter, maxiter);
  }
  EXPECT_EQ(fit(c.x0, 0, false).n_iter, 1u);
}

TEST(TrustRegionProfile, ErrorsCarryTheirTexts) {
  const Vec y = fx::load_csv_column("nile.csv", 1);
  const Columns ones{Vec(y.size(), 1.0)};
  const SarimaxConfig ar1 = cfg({1, 0, 0, 0, 0, 0, 0}, Trend::None, 1);
  const std::string failed = "profile-trust-region: initial ";
  struct Case { SarimaxObjective objective; Vec x0; SarimaxError error; };
  const Case cases[] = {
      {{y, std::nullopt, ar1}, {0.0, 0.0, 0.0},
       SarimaxError::invalid_input("profile-trust-region requires exog columns when n_exog > 0")},
      {{y, ones, cfg({1, 0, 0, 0, 0, 0, 0}, Trend::None, 2)}, {0.0, 0.0, 0.0, 0.0},
       SarimaxError::optimization_failed(failed + "cost failed: missing exog column 1")},
      {{y, ones, cfg({1, 0, 0, 0, 2, 0, 4}, Trend::None, 1)}, {0.0, 0.0, 0.0},
       SarimaxError::optimization_failed(failed + "cost failed: state space construction failed: "
                                         "Seasonal differencing D > 1 is not yet supported")},
  };
  for (const Case& c : cases) {
    const auto r = fit_profile_trust_region(c.objective, c.x0, c.objective.config(), 8, true);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.error) << r.error().display();
  }
}

}  // namespace
