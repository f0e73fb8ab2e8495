// Start values against a numpy implementation on the public series
// (tests/data/make_start_params_reference.py) and against hand-worked cases.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "peltaro/estimation/start_params.hpp"
#include "score_fixtures.hpp"

namespace peltaro::estimation {
namespace {

namespace sp = start_params;
using core::Trend;
using score_fixtures::cfg;
using std::nullopt;
using Lags = std::vector<std::uint64_t>;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Elementwise within rel·max(1, |want|); a NaN wanted must come back NaN.
void expect_close(const Vec& got, const Vec& want, double rel, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const std::string at = what + " [" + std::to_string(i) + "]";
    if (std::isnan(want[i])) EXPECT_TRUE(std::isnan(got[i])) << at;
    else EXPECT_NEAR(got[i], want[i], rel * std::fmax(1.0, std::fabs(want[i]))) << at;
  }
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string f; std::getline(ss, f, sep);) out.push_back(f);
  return out;
}

TEST(StartParams, MatchReferenceOnPublicSeries) {
  std::ifstream in(PELTARO_TEST_DATA_DIR "/start_params_reference.csv");
  std::size_t cases = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto f = split(line, ',');
    const auto u = [&](std::size_t i) { return std::stoull(f.at(i)); };
    const auto column = [&](std::size_t c) {
      Vec v = score_fixtures::load_csv_column(f[1], c);
      if (u(4) > 0) v.resize(u(4));
      return v;
    };
    const Vec y = u(3) == 1 ? score_fixtures::log_of(column(u(2))) : column(u(2));
    Columns exog;
    for (const auto& c : split(f[5], ';')) exog.push_back(column(std::stoull(c)));
    const SarimaxConfig config = cfg({u(6), u(7), u(8), u(9), u(10), u(11), u(12)},
                                     static_cast<Trend>(u(13)), exog.size(), u(14) == 1);
    Vec want;
    for (std::size_t i = 15; i < f.size(); ++i) want.push_back(std::stod(f[i]));
    const auto got = sp::compute_start_params(y, config, exog.empty() ? nullptr : &exog);
    ASSERT_TRUE(got) << f[0] << ": " << got.error().display();
    expect_close(*got, want, 1e-9, f[0]);
    ++cases;
  }
  EXPECT_EQ(cases, 16u);
}

TEST(StartParams, DifferencingEmptiesSeriesTooShortForAPass) {
  struct Case { const char* what; Vec x; std::uint64_t d, D, s; Vec want; };
  const Case cases[] = {
      {"a huge d ends once the series is empty", {1, 2}, std::uint64_t{1} << 62, 0, 0, {}},
      {"s = 4 on 4 values is empty", {1, 2, 3, 4}, 0, 1, 4, {}},
      {"s = 0 returns the input whatever D", {1, 2, 3}, 0, 5, 0, {1, 2, 3}},
      {"D = 2 at s = 2", {1, 4, 9, 16, 25, 36}, 0, 2, 2, {8, 8}},
      {"a seasonal pass that no longer fits empties the series", {1, 4, 9, 16, 25}, 0, 2, 3, {}},
      {"regular and seasonal passes together", {0, 1, 4, 9, 16, 25, 36}, 1, 1, 2, {4, 4, 4, 4}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(sp::difference_exog_cols(Columns{c.x}, c.d, c.D, c.s), Columns{c.want}) << c.what;
}

TEST(StartParams, OlsPinvMinimumNormWithAbsoluteThreshold) {
  struct Case { const char* what; Columns cols; Vec target; std::optional<Vec> want; };
  const Case cases[] = {
      {"no columns", {}, {1, 2}, Vec{}},
      {"empty target", {{1, 2}, {3, 4}, {5, 6}}, {}, Vec{0, 0, 0}},
      {"two columns of one row", {{1}, {2}}, {3}, nullopt},
      {"rows cut to the shortest column", {{1, 1, 1}, {0, 1, 2, 99}}, {2, 5, 8, 1000}, Vec{2, 3}},
      {"duplicate columns share the fit", {{1, 2, 3}, {1, 2, 3}}, {2, 4, 6}, Vec{1, 1}},
      {"singular value 1e-13 beside 1 is dropped", {{1, 0}, {0, 1e-13}}, {1, 1}, Vec{1, 0}},
      {"singular value of exactly 1e-12 is dropped", {{1e-12}}, {1}, Vec{0}},
      {"singular value just above 1e-12 is kept", {{2e-12}}, {1}, Vec{5e11}},
      {"NaN in a column", {{1, NaN, 3}}, {1, 2, 3}, nullopt},
      {"infinity in the target", {{1, 2, 3}}, {1, INF, 3}, nullopt},
  };
  for (const Case& c : cases) {
    const auto got = sp::ols_pinv(c.cols, c.target);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.what;
    if (got) expect_close(*got, *c.want, 1e-12, c.what);
  }
}

TEST(StartParams, TwoStageNeedsRowsForBothStages) {
  struct Case { Lags ar, ma; std::size_t n; bool fits; };
  const Case cases[] = {
      {{}, {1}, 5, false}, {{}, {1}, 6, true}, {{1, 2}, {}, 4, false}, {{1, 2}, {}, 5, true},
      {{12}, {}, 14, false},
      // One seasonal MA lag: the long autoregression of order 24 needs 24 rows.
      {{}, {12}, 47, false}, {{}, {12}, 48, true},
  };
  const Vec y = score_fixtures::simulate_arma(60, {0.5}, {0.3}, 7);
  for (const Case& c : cases) {
    const Vec head(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(c.n));
    EXPECT_EQ(sp::css_two_stage(head, c.ar, c.ma).has_value(), c.fits) << c.n;
  }
}

// MA lags {1, 2, 3} on 12 values: the long autoregression of order 6 fits
// its 6 rows exactly, so the innovations are rounding noise; the second stage
// drops them as zero singular values and keeps L = 3 = n_ma rows: sigma2 is
// the mean-centred variance of the three targets.
TEST(StartParams, TwoStageWithAsManyRowsAsMaLagsUsesCentredVariance) {
  const Vec y{0.3, -1.2, 0.8, 2.0, -0.5, 1.1, 0.4, -0.9, 1.5, 0.7, -0.2, 1.3};
  const auto fit = sp::css_two_stage(y, {}, Lags{1, 2, 3});
  ASSERT_TRUE(fit);
  EXPECT_EQ(fit->ma, (Vec{0.0, 0.0, 0.0}));
  const double m = (0.7 - 0.2 + 1.3) / 3.0;
  const double var = ((0.7 - m) * (0.7 - m) + (0.2 + m) * (0.2 + m) + (1.3 - m) * (1.3 - m)) / 3.0;
  EXPECT_NEAR(fit->sigma2, var, 1e-14);
}

TEST(StartParams, ArResiduals) {
  EXPECT_EQ(sp::ar_residuals(Vec{1, 2, 4, 8}, Vec{0.5}), (Vec{1.5, 3, 6}));
  EXPECT_EQ(sp::ar_residuals(Vec{1, 2}, Vec{0.5, 0.5}), Vec{});
  EXPECT_EQ(sp::seasonal_ar_residuals(Vec{1, 2, 3, 4, 5, 6}, Vec{0.5}, 2), (Vec{2.5, 3, 3.5, 4}));
  EXPECT_EQ(sp::seasonal_ar_residuals(Vec{1, 2, 3, 4}, Vec{0.5, 0.5}, 2), Vec{});
  // P·s beyond the largest size saturates instead of wrapping to 0.
  EXPECT_EQ(sp::seasonal_ar_residuals(Vec{1, 2, 3}, Vec{0.5, 0.5}, std::uint64_t{1} << 63), Vec{});
}

// The short-series fallbacks and the concentrated scale are reference lines.
TEST(StartParams, HandWorkedModels) {
  struct Case { const char* what; Vec y; SarimaxConfig config; Vec want; };
  // Noise-free recursions that least squares recovers exactly.
  const auto recursion = [](Vec y, const Vec& phi) {
    while (y.size() < 30) {
      double next = 0.0;
      for (std::size_t i = 0; i < phi.size(); ++i) next += phi[i] * y[y.size() - 1 - i];
      y.push_back(next);
    }
    return y;
  };
  const Vec near_unit = recursion({10.0}, {0.9995});
  const Vec explosive = recursion({1.0, 1.0}, {0.6, 0.5});
  const Vec cyclical = recursion({1.0, 0.5, -0.2}, {1.55, -0.33, -0.23});
  const Case cases[] = {
      // w = (1, 2, 4, 8): mean 3.75, population variance of w − 3.75.
      {"constant trend on w", {1, 2, 4, 8, 16}, cfg({.d = 1}, Trend::Constant), {3.75, 7.1875}},
      // w_i = 2·(i + 1): the time index of w starts at 1 in the raw series.
      {"linear trend after d = 1", {0, 2, 6, 12, 20}, cfg({.d = 1}, Trend::Linear), {2.0, 1e-6}},
      // A block starts at zero when an inverse root reaches 0.999, whatever
      // its coefficients: AR(1) at 0.9995, and AR(2) (0.6, 0.5) whose
      // coefficients are small but whose polynomial has a root inside the
      // unit circle; the stationary AR(3) (1.55, −0.33, −0.23) is kept.
      // sigma2 stays the two-stage variance.
      {"AR(1) at 0.9995 starts at zero", near_unit, cfg({.p = 1}), {0.0, 1e-6}},
      {"non-stationary AR(2) starts at zero", explosive, cfg({.p = 2}), {0.0, 0.0, 1e-6}},
      {"stationary AR(3) beyond 1 is kept", cyclical, cfg({.p = 3}), {1.55, -0.33, -0.23, 1e-6}},
      // No two-stage result: y is non-finite, the trend falls back to the mean.
      {"NaN in the series", {1, NaN, 3, 4, 5, 6}, cfg({.p = 1, .q = 1}, Trend::Constant),
       {NaN, 0, 0, 1e-6}},
  };
  for (const Case& c : cases) {
    const auto got = sp::compute_start_params(c.y, c.config, nullptr);
    ASSERT_TRUE(got) << c.what;
    expect_close(*got, c.want, 1e-12, c.what);
  }
  // Pulled in instead, every inverse root is scaled so that the largest has
  // modulus 0.9: φ_k times ρ^k. (0.6, 0.5) has inverse roots 0.3 ± √0.59; a
  // seasonal block is a polynomial in L^s. Roots that cannot be found still
  // leave zeros.
  const double rho = 0.9 / (0.3 + std::sqrt(0.59));
  const Vec seasonal = recursion({1.0, -0.5, 2.0, 0.3}, {0.0, 0.0, 0.0, 1.05});
  const Case pulled[] = {
      {"AR(1) at 0.9995", near_unit, cfg({.p = 1}), {0.9, 1e-6}},
      {"non-stationary AR(2)", explosive, cfg({.p = 2}), {0.6 * rho, 0.5 * rho * rho, 1e-6}},
      {"stationary AR(3)", cyclical, cfg({.p = 3}), {1.55, -0.33, -0.23, 1e-6}},
      {"seasonal AR(1) at 1.05", seasonal, cfg({.P = 1, .s = 4}), {0.9, 1e-6}},
      {"NaN in the series", {1, NaN, 3, 4, 5, 6}, cfg({.p = 1, .q = 1}, Trend::Constant),
       {NaN, 0, 0, 1e-6}},
  };
  for (const Case& c : pulled) {
    const auto got = sp::compute_start_params(c.y, c.config, nullptr, sp::UnsafeBlock::PullIn);
    ASSERT_TRUE(got) << c.what;
    expect_close(*got, c.want, 1e-12, c.what);
  }
}

// Regressors that are absent, or cannot be fitted, get zeros and leave the
// series alone; a count other than the configured one is an error.
TEST(StartParams, Regressors) {
  const Vec y = score_fixtures::simulate_arma(80, {0.5}, {0.3}, 11, 4.0);
  Vec want = sp::compute_start_params(y, cfg({.p = 1, .q = 1}, Trend::Constant), nullptr).value();
  want.insert(want.begin() + 1, 2, 0.0);
  Vec bad(80, 1.0);
  bad[5] = INF;
  const Columns two_bad(2, bad), three(3, score_fixtures::simulate_normal(80, 4)), none;
  const std::pair<const Columns*, const char*> cases[] = {
      {nullptr, nullptr},
      {&two_bad, nullptr},
      {&three, "data error: failed to build start params: expected length 6, got 7"},
      {&none, "data error: failed to build start params: expected length 6, got 4"},
  };
  for (const auto& [exog, error] : cases) {
    const auto got = sp::compute_start_params(y, cfg({.p = 1, .q = 1}, Trend::Constant, 2), exog);
    if (error) EXPECT_EQ(got.error().display(), error);
    else EXPECT_EQ(got.value(), want) << (exog ? "non-finite columns" : "no columns");
  }
}

TEST(StartParams, ValidateNeedsMoreObservationsThanStatesAndParameters) {
  SarimaxConfig airline = cfg({.d = 1, .q = 1, .D = 1, .Q = 1, .s = 12});
  airline.simple_differencing = true;  // the raw length still counts
  const SarimaxConfig wide = cfg({}, Trend::ConstantLinear, 5);  // 8 parameters, 1 state
  const Vec y = score_fixtures::simulate_arma(40, {}, {}, 5), start{0.1, 0.2, 0.3};
  struct Case { const SarimaxConfig* config; std::size_t n; const Vec* start; const char* error; };
  const Case cases[] = {
      {&airline, 28, &start,
       "data error: Not enough observations: n=28 <= minimum required 28 for model order"},
      {&airline, 29, &start, nullptr},
      {&airline, 29, nullptr, nullptr},
      {&wide, 8, &start,
       "data error: Not enough observations: n=8 <= minimum required 8 for model order"},
  };
  for (const Case& c : cases) {
    const Vec head(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(c.n));
    const auto got = validate_and_get_start_params(head, *c.config, c.start, nullptr);
    if (c.error) EXPECT_EQ(got.error().display(), c.error);
    else if (c.start) EXPECT_EQ(got.value(), start);
    else EXPECT_EQ(got.value(), sp::compute_start_params(head, airline, nullptr).value());
  }
}

}  // namespace
}  // namespace peltaro::estimation
