#include "peltaro/core/transforms.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using peltaro::core::apply_transform_jacobian;
using peltaro::core::constrain_invertible;
using peltaro::core::constrain_stationary;
using peltaro::core::SarimaxConfig;
using peltaro::core::SarimaxError;
using peltaro::core::transform_jacobian_t_vec;
using peltaro::core::transform_params_inner;
using peltaro::core::Trend;
using peltaro::core::unconstrain_invertible;
using peltaro::core::unconstrain_stationary;
using peltaro::core::Vec;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

SarimaxConfig make_config(Trend trend, std::uint64_t n_exog, std::uint64_t p, std::uint64_t q,
                          std::uint64_t P, std::uint64_t Q, bool concentrate_scale = false) {
  SarimaxConfig c;
  c.trend = trend;
  c.n_exog = n_exog;
  c.order.p = p;
  c.order.q = q;
  c.order.P = P;
  c.order.Q = Q;
  c.order.s = (P + Q > 0) ? 4 : 0;
  c.concentrate_scale = concentrate_scale;
  return c;
}

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

void expect_close(const Vec& got, const Vec& want, double rel_tol, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_LE(std::abs(got[i] - want[i]), rel_tol * std::max(1.0, std::abs(want[i])))
        << what << " entry " << i << ": got " << got[i] << ", want " << want[i];
  }
}

// Largest modulus of the roots of z^k = a_0 z^{k-1} + ... + a_{k-1}, i.e. of
// the reciprocal roots of 1 - a_0 L - ... - a_{k-1} L^k.
double max_reciprocal_root(const Vec& a) {
  const auto k = static_cast<Eigen::Index>(a.size());
  Eigen::MatrixXd companion = Eigen::MatrixXd::Zero(k, k);
  for (Eigen::Index j = 0; j < k; ++j) companion(0, j) = a[static_cast<std::size_t>(j)];
  for (Eigen::Index i = 1; i < k; ++i) companion(i, i - 1) = 1.0;
  Eigen::EigenSolver<Eigen::MatrixXd> solver(companion, false);
  return solver.eigenvalues().cwiseAbs().maxCoeff();
}

Vec negated(const Vec& v) {
  Vec out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = -v[i];
  return out;
}

// ---------------------------------------------------------------------------
// Reference numbers from statsmodels (tests/data/make_transform_reference.py).

struct ReferenceLine {
  std::string tag;
  std::vector<std::uint64_t> sizes;  // poly: k; model: p, q, P, Q
  std::vector<Vec> blocks;
};

std::vector<ReferenceLine> load_reference() {
  std::ifstream in(PELTARO_DATA_DIR "/../tests/data/transform_reference.csv");
  std::vector<ReferenceLine> lines;
  if (!in) return lines;
  std::string text;
  while (std::getline(in, text)) {
    if (text.empty() || text[0] == '#') continue;
    std::vector<std::string> fields;
    std::stringstream ss(text);
    for (std::string f; std::getline(ss, f, ',');) fields.push_back(f);
    ReferenceLine line;
    line.tag = fields.at(0);
    const std::size_t n_sizes = line.tag == "poly" ? 1 : 4;
    std::size_t width = 0;
    for (std::size_t i = 0; i < n_sizes; ++i) {
      line.sizes.push_back(std::stoull(fields.at(1 + i)));
      width += line.sizes.back();
    }
    const std::size_t n_blocks = line.tag == "poly" ? 8 : 4;
    std::size_t pos = 1 + n_sizes;
    for (std::size_t b = 0; b < n_blocks; ++b) {
      Vec block;
      for (std::size_t i = 0; i < width; ++i) block.push_back(std::strtod(fields.at(pos++).c_str(), nullptr));
      line.blocks.push_back(block);
    }
    EXPECT_EQ(pos, fields.size()) << text;
    lines.push_back(std::move(line));
  }
  return lines;
}

TEST(TransformReference, PolynomialMapsMatchStatsmodels) {
  const auto lines = load_reference();
  std::size_t n_poly = 0;
  for (const auto& line : lines) {
    if (line.tag != "poly") continue;
    ++n_poly;
    const auto& b = line.blocks;
    // statsmodels' SARIMAX: AR block c(x), MA block -c(x); inverses u(phi), u(-theta).
    expect_close(constrain_stationary(b[0]), b[1], 1e-14, "constrain_stationary");
    expect_close(constrain_invertible(b[2]), b[3], 1e-14, "constrain_invertible");
    expect_close(unconstrain_stationary(b[4]), b[5], 1e-14, "unconstrain_stationary");
    expect_close(unconstrain_invertible(b[6]), b[7], 1e-14, "unconstrain_invertible");
  }
  EXPECT_GE(n_poly, 1000u) << "reference file missing or truncated";
}

TEST(TransformReference, WholeVectorMatchesStatsmodelsBlockByBlock) {
  const auto lines = load_reference();
  std::size_t n_model = 0;
  for (const auto& line : lines) {
    if (line.tag != "model") continue;
    ++n_model;
    const auto& s = line.sizes;
    const auto cfg = make_config(Trend::None, 0, s[0], s[1], s[2], s[3], true);
    const auto constrained = transform_params_inner(line.blocks[0], cfg, true);
    ASSERT_TRUE(constrained.has_value());
    expect_close(*constrained, line.blocks[1], 1e-14, "constrain whole vector");
    const auto unconstrained = transform_params_inner(line.blocks[2], cfg, false);
    ASSERT_TRUE(unconstrained.has_value());
    expect_close(*unconstrained, line.blocks[3], 1e-14, "unconstrain whole vector");
  }
  EXPECT_GE(n_model, 50u);
}

// ---------------------------------------------------------------------------
// Properties over random inputs.

TEST(PolynomialMaps, ConstrainedPolynomialsHaveAllRootsOutsideUnitCircle) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal(0.0, 2.0);
  for (int trial = 0; trial < 2000; ++trial) {
    const std::size_t k = 1 + static_cast<std::size_t>(trial % 8);
    Vec x(k);
    for (auto& v : x) v = normal(rng);
    const Vec phi = constrain_stationary(x);
    EXPECT_LT(max_reciprocal_root(phi), 1.0) << "AR, trial " << trial;
    // 1 + theta_0 L + ... has reciprocal roots solving z^k = -theta_0 z^{k-1} - ....
    const Vec theta = constrain_invertible(x);
    EXPECT_LT(max_reciprocal_root(negated(theta)), 1.0) << "MA, trial " << trial;
  }
}

TEST(PolynomialMaps, RoundTripsReturnTheInput) {
  // The inverse recursion divides by 1 - r^2 at every level, so its rounding
  // error grows with the length and with |r|: |x| <= 1 keeps it below 1e-12
  // up to length 8 (statsmodels' recursion behaves the same).
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (int trial = 0; trial < 2000; ++trial) {
    const std::size_t k = 1 + static_cast<std::size_t>(trial % 8);
    Vec x(k);
    for (auto& v : x) v = uniform(rng);
    expect_close(unconstrain_stationary(constrain_stationary(x)), x, 1e-12, "AR x round trip");
    expect_close(unconstrain_invertible(constrain_invertible(x)), x, 1e-12, "MA x round trip");
    const Vec phi = constrain_stationary(x);
    expect_close(constrain_stationary(unconstrain_stationary(phi)), phi, 1e-12, "AR phi round trip");
    const Vec theta = constrain_invertible(x);
    expect_close(constrain_invertible(unconstrain_invertible(theta)), theta, 1e-12,
                 "MA theta round trip");
  }
}

TEST(TransformParamsInner, WholeVectorRoundTrip) {
  const auto cfg = make_config(Trend::ConstantLinear, 2, 3, 2, 2, 1);
  const Vec x{0.5, -3.0, 100.0, -7.0, 0.4, -1.3, 1.9, 0.2, -0.8, 1.1, -0.6, 0.3, -0.25};
  ASSERT_EQ(x.size(), cfg.n_params());
  const auto c = transform_params_inner(x, cfg, true);
  ASSERT_TRUE(c.has_value());
  EXPECT_DOUBLE_EQ((*c)[12], std::exp(-0.25));
  const auto back = transform_params_inner(*c, cfg, false);
  ASSERT_TRUE(back.has_value());
  expect_close(*back, x, 1e-12, "whole vector round trip");
}

// ---------------------------------------------------------------------------
// Fixed values and edge cases of the polynomial maps.

TEST(PolynomialMaps, KnownValues) {
  EXPECT_EQ(constrain_stationary(Vec{1.0}), Vec{-0.7071067811865475});
  const Vec zero = constrain_stationary(Vec{0.0});
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_TRUE(same_bits(zero[0], -0.0));
  EXPECT_EQ(constrain_invertible(Vec{1.0}), Vec{0.7071067811865475});
  EXPECT_EQ(unconstrain_stationary(Vec{0.5}), Vec{-0.5773502691896258});
  EXPECT_EQ(unconstrain_invertible(Vec{-0.5}), Vec{-0.5773502691896258});
  // Closed form for k = 2: phi = -(r0 + r1·r0, r1) with r = x / sqrt(x^2 + 1).
  const double r0 = 0.3 / std::sqrt(1.09), r1 = -2.0 / std::sqrt(5.0);
  expect_close(constrain_stationary(Vec{0.3, -2.0}), Vec{-(r0 + r1 * r0), -r1}, 1e-15, "k = 2");
}

TEST(PolynomialMaps, EmptyInputGivesEmptyOutput) {
  EXPECT_TRUE(constrain_stationary(Vec{}).empty());
  EXPECT_TRUE(unconstrain_stationary(Vec{}).empty());
  EXPECT_TRUE(constrain_invertible(Vec{}).empty());
  EXPECT_TRUE(unconstrain_invertible(Vec{}).empty());
}

TEST(PolynomialMaps, NonStationaryInputGivesLargeFiniteValues) {
  const Vec out = unconstrain_stationary(Vec{1.0});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], -1.0 / std::sqrt(1e-15));
  EXPECT_NEAR(out[0], -3.162e7, 1e4);
  // A root inside the unit circle of 1 - 2.5 L: the floor keeps it finite.
  EXPECT_TRUE(std::isfinite(unconstrain_stationary(Vec{2.5, 0.3})[0]));
}

TEST(PolynomialMaps, ExtremeUnconstrainedValues) {
  EXPECT_EQ(constrain_stationary(Vec{1e8}), Vec{-1.0});  // r = 1 exactly: a unit root
  const Vec overflow = constrain_stationary(Vec{1e155});  // x^2 = inf, r = 0
  ASSERT_EQ(overflow.size(), 1u);
  EXPECT_TRUE(same_bits(overflow[0], -0.0));
  EXPECT_TRUE(std::isnan(constrain_stationary(Vec{kInf})[0]));
  EXPECT_TRUE(std::isnan(constrain_stationary(Vec{-kInf})[0]));
  EXPECT_TRUE(std::isnan(constrain_stationary(Vec{kNaN})[0]));
}

// ---------------------------------------------------------------------------
// transform_params_inner: block handling and failures.

TEST(TransformParamsInner, EmptyVectorMapsToEmptyVector) {
  const auto cfg = make_config(Trend::None, 0, 0, 0, 0, 0, true);
  for (bool direction : {true, false}) {
    const auto out = transform_params_inner(Vec{}, cfg, direction);
    ASSERT_TRUE(out.has_value());
    EXPECT_TRUE(out->empty());
  }
  const auto jac = transform_jacobian_t_vec(Vec{}, cfg, Vec{});
  ASSERT_TRUE(jac.has_value());
  EXPECT_TRUE(jac->empty());
}

TEST(TransformParamsInner, TrendExogAndEmptyBlocksPassThrough) {
  // p = 0 with the switch on: the ma block right after the regressors is
  // still the one transformed.
  const auto cfg = make_config(Trend::Constant, 2, 0, 1, 0, 0, true);
  const Vec x{1e300, -0.0, kNaN, 1.0};
  const auto out = transform_params_inner(x, cfg, true);
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->size(), 4u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(same_bits((*out)[i], x[i])) << i;
  EXPECT_EQ((*out)[3], 0.7071067811865475);
}

TEST(TransformParamsInner, SwitchedOffBlocksPassThroughBitForBit) {
  const Vec x{-0.0, 1e300, kNaN, -kInf, 3.5, -2.0, 0.0, 7.0};
  for (bool stationarity : {false, true}) {
    for (bool invertibility : {false, true}) {
      if (stationarity && invertibility) continue;
      auto cfg = make_config(Trend::None, 0, 2, 2, 2, 2, true);
      cfg.enforce_stationarity = stationarity;
      cfg.enforce_invertibility = invertibility;
      for (bool direction : {true, false}) {
        const auto out = transform_params_inner(x, cfg, direction);
        ASSERT_TRUE(out.has_value());
        // ar at 0..1, ma at 2..3, seasonal ar at 4..5, seasonal ma at 6..7
        for (std::size_t i = 0; i < 8; ++i) {
          const bool is_ar = i < 2 || (i >= 4 && i < 6);
          if ((is_ar && !stationarity) || (!is_ar && !invertibility)) {
            EXPECT_TRUE(same_bits((*out)[i], x[i])) << "entry " << i;
          }
        }
      }
    }
  }
}

TEST(TransformParamsInner, SeasonalAndNonSeasonalBlocksAreSeparatePolynomials) {
  const auto cfg = make_config(Trend::None, 0, 2, 1, 2, 1, true);
  Vec x{0.4, -1.2, 0.7, 0.9, 0.1, -0.3};
  const auto a = transform_params_inner(x, cfg, true);
  x[3] = -5.0;
  x[5] = 2.0;
  const auto b = transform_params_inner(x, cfg, true);
  ASSERT_TRUE(a.has_value() && b.has_value());
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(same_bits((*a)[i], (*b)[i])) << i;
  const Vec seasonal_ar = constrain_stationary(Vec{-5.0, 0.1});
  EXPECT_EQ((*b)[3], seasonal_ar[0]);
  EXPECT_EQ((*b)[4], seasonal_ar[1]);
  EXPECT_EQ((*b)[5], constrain_invertible(Vec{2.0})[0]);
}

TEST(TransformParamsInner, VarianceMapsAndFailures) {
  const auto cfg = make_config(Trend::None, 0, 0, 0, 0, 0);
  auto one = [&](double s, bool direction) { return transform_params_inner(Vec{s}, cfg, direction); };

  EXPECT_EQ(*one(800.0, true), Vec{kInf});
  EXPECT_EQ(*one(kInf, false), Vec{kInf});
  EXPECT_TRUE(std::isnan((*one(kNaN, false))[0]));
  EXPECT_EQ(*one(std::exp(1.5), false), Vec{std::log(std::exp(1.5))});

  const std::vector<std::pair<double, std::string>> bad{
      {0.0, "positive, got 0"},     {-0.0, "positive, got -0"},
      {-1.0, "positive, got -1"},   {-2.5, "positive, got -2.5"},
      {-kInf, "positive and finite, got -inf"}};
  for (const auto& [value, reason] : bad) {
    const auto out = one(value, false);
    ASSERT_FALSE(out.has_value()) << reason;
    EXPECT_EQ(out.error().kind(), SarimaxError::Kind::DataError);
    EXPECT_EQ(out.error().display(), "data error: variance sigma2 must be " + reason);
  }
}

TEST(TransformParamsInner, WrongLengthFailsInEveryEntry) {
  const auto cfg = make_config(Trend::Constant, 1, 1, 1, 0, 0);  // n_params 5
  const Vec short_x{0.1, 0.2, 0.3, 0.4};
  for (bool direction : {true, false}) {
    const auto out = transform_params_inner(short_x, cfg, direction);
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error(), SarimaxError::parameter_length_mismatch(5, 4));
  }
  const Vec v(5, 1.0);
  const auto jac = transform_jacobian_t_vec(short_x, cfg, v);
  ASSERT_FALSE(jac.has_value());
  EXPECT_EQ(jac.error(), SarimaxError::parameter_length_mismatch(5, 4));
  const auto text = apply_transform_jacobian(v, short_x, cfg);
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.error(), "parameter length mismatch: expected 5, got 4");
  // The x length is checked before the gradient length.
  EXPECT_EQ(apply_transform_jacobian(Vec{}, short_x, cfg).error(),
            "parameter length mismatch: expected 5, got 4");
}

TEST(TransformParamsInner, ConfigurationsOutsideTheDomainFailInsteadOfReadingOutOfRange) {
  auto cfg = make_config(Trend::None, 0, 1, 0, 0, 0);
  cfg.trend = static_cast<Trend>(7);
  const auto bad_trend = transform_params_inner(Vec{0.1, 1.0}, cfg, true);
  ASSERT_FALSE(bad_trend.has_value());
  EXPECT_EQ(bad_trend.error().display(), "invalid input: trend code 7 is not one of 0, 1, 2, 3");

  // Counts that wrap around to the vector's length must not let it through.
  auto wrap = make_config(Trend::None, 0, 2, 0, 0, 0);
  wrap.n_exog = std::numeric_limits<std::uint64_t>::max();  // total wraps to 2
  for (bool direction : {true, false}) {
    const auto out = transform_params_inner(Vec{0.1, 1.0}, wrap, direction);
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().display(),
              "invalid input: parameter count of the configuration overflows");
  }
  EXPECT_FALSE(apply_transform_jacobian(Vec{1.0, 1.0}, Vec{0.1, 1.0}, wrap).has_value());
}

// ---------------------------------------------------------------------------
// Jacobian-transpose product.

// Independent reference: central differences of the whole transform.
Vec central_jt_v(const Vec& x, const SarimaxConfig& cfg, const Vec& v, double h) {
  Vec out(x.size(), 0.0);
  for (std::size_t j = 0; j < x.size(); ++j) {
    Vec xp = x, xm = x;
    xp[j] += h;
    xm[j] -= h;
    const Vec fp = *transform_params_inner(xp, cfg, true);
    const Vec fm = *transform_params_inner(xm, cfg, true);
    for (std::size_t i = 0; i < x.size(); ++i) out[j] += v[i] * (fp[i] - fm[i]) / (xp[j] - xm[j]);
  }
  return out;
}

TEST(TransformJacobian, MatchesCentralDifferences) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal(0.0, 1.0);
  const std::vector<SarimaxConfig> cfgs{
      make_config(Trend::ConstantLinear, 2, 2, 2, 1, 2),
      make_config(Trend::None, 0, 4, 3, 0, 0, true),
      make_config(Trend::Linear, 1, 0, 0, 3, 3),
  };
  for (const auto& cfg : cfgs) {
    const std::size_t n = cfg.n_params();
    for (int trial = 0; trial < 50; ++trial) {
      Vec x(n), v(n);
      for (auto& e : x) e = normal(rng);
      for (auto& e : v) e = 3.0 * normal(rng);
      const auto got = transform_jacobian_t_vec(x, cfg, v);
      ASSERT_TRUE(got.has_value());
      // Forward differences with step 1e-7 are accurate to about 1e-7.
      expect_close(*got, central_jt_v(x, cfg, v, 1e-5), 2e-6, "J'v");
    }
  }
}

TEST(TransformJacobian, IdentityBlocksPassThroughExactlyAtAnyMagnitude) {
  auto cfg = make_config(Trend::ConstantLinear, 1, 2, 1, 0, 0, true);
  cfg.enforce_stationarity = false;  // ar passes through
  const Vec v{0.37, -1.25, 3.0, 1e-3, -7.5, 0.6};
  const double two31 = 2147483648.0;
  for (double big : {1e8, 1e9, two31, -1e9, -two31}) {
    // Trend, exog and the switched-off ar block at the large value; the ma
    // block stays transformed.
    const Vec x{big, -big, big, big, -big, 0.3};
    const auto out = transform_jacobian_t_vec(x, cfg, v);
    ASSERT_TRUE(out.has_value());
    for (std::size_t j = 0; j < 5; ++j) EXPECT_EQ((*out)[j], v[j]) << "x = " << big << ", j = " << j;
    // d theta / dx of constrain_invertible(x) = (1 + x^2)^(-3/2).
    EXPECT_NEAR((*out)[5], v[5] * std::pow(1.0 + 0.09, -1.5), 1e-6);
  }
}

TEST(TransformJacobian, VarianceEntryIsGradientTimesExp) {
  const auto cfg = make_config(Trend::None, 0, 1, 0, 0, 0);
  for (double s : {0.0, -3.0, 2.0, 40.0, 1e8}) {
    const auto out = transform_jacobian_t_vec(Vec{0.2, s}, cfg, Vec{1.0, 0.75});
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ((*out)[1], 0.75 * std::exp(s)) << s;
  }
  EXPECT_EQ((*transform_jacobian_t_vec(Vec{0.2, 0.0}, cfg, Vec{1.0, 0.75}))[1], 0.75);
}

TEST(TransformJacobian, TextFormChainsTheGivenGradient) {
  const auto cfg = make_config(Trend::ConstantLinear, 0, 0, 0, 0, 0, true);
  const auto out = apply_transform_jacobian(Vec{1.0, 2.0}, Vec{5.0, 7.0}, cfg);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, (Vec{1.0, 2.0}));
}

TEST(TransformJacobian, GradientShorterThanParametersFails) {
  const auto cfg = make_config(Trend::None, 0, 2, 1, 0, 0);
  const Vec x{0.1, 0.2, 0.3, 0.0};
  const auto out = transform_jacobian_t_vec(x, cfg, Vec{1.0, 1.0, 1.0});
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().display(),
            "invalid input: gradient has 3 entries, fewer than the 4 parameters");
  EXPECT_EQ(apply_transform_jacobian(Vec{}, x, cfg).error(),
            "invalid input: gradient has 0 entries, fewer than the 4 parameters");
  // Extra entries beyond the parameters are ignored.
  const auto longer = transform_jacobian_t_vec(x, cfg, Vec{1.0, -1.0, 2.0, 0.5, kNaN, 9.0});
  const auto exact = transform_jacobian_t_vec(x, cfg, Vec{1.0, -1.0, 2.0, 0.5});
  ASSERT_TRUE(longer.has_value() && exact.has_value());
  EXPECT_EQ(*longer, *exact);
}

TEST(TransformJacobian, NonFiniteGradientEntriesStayInsideTheirBlock) {
  // trend (1), ar (2), sigma2 (1)
  const auto cfg = make_config(Trend::Constant, 0, 2, 0, 0, 0);
  const Vec x{0.5, 0.4, -0.9, 0.1};

  // NaN in an ar row: every ar column is NaN (0·NaN where the column leaves
  // the row unchanged); the other blocks never meet that row.
  const auto nan_ar = *transform_jacobian_t_vec(x, cfg, Vec{1.0, kNaN, 1.0, 2.0});
  EXPECT_EQ(nan_ar[0], 1.0);
  EXPECT_TRUE(std::isnan(nan_ar[1]));
  EXPECT_TRUE(std::isnan(nan_ar[2]));
  EXPECT_EQ(nan_ar[3], 2.0 * std::exp(0.1));

  const auto nan_trend = *transform_jacobian_t_vec(x, cfg, Vec{kNaN, 1.0, 1.0, 1.0});
  EXPECT_TRUE(std::isnan(nan_trend[0]));
  EXPECT_TRUE(std::isfinite(nan_trend[1]) && std::isfinite(nan_trend[2]));

  // Infinity in the second ar row: phi_1 depends on x_1 only, so column 0
  // meets it as 0·inf = NaN and column 1 as an infinity.
  const auto inf_ar = *transform_jacobian_t_vec(x, cfg, Vec{1.0, 1.0, kInf, 1.0});
  EXPECT_TRUE(std::isnan(inf_ar[1]));
  EXPECT_TRUE(std::isinf(inf_ar[2]));
  EXPECT_EQ(inf_ar[0], 1.0);
}

}  // namespace
