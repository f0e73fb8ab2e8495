#include <gtest/gtest.h>

#include <cmath>

#include "peltaro/core/state_space.hpp"

using namespace peltaro::core;

namespace {

SarimaxConfig config(SarimaxOrder o, bool simple_differencing = false) {
  SarimaxConfig c;
  c.order = o;
  c.simple_differencing = simple_differencing;
  return c;
}

StateSpace build(const SarimaxConfig& c, const SarimaxParams& p, std::size_t n = 5,
                 const Columns* exog = nullptr) {
  const Vec y(n, 0.0);
  auto ss = StateSpace::create(c, p, y, exog);
  EXPECT_TRUE(ss.has_value()) << (ss ? "" : ss.error().display());
  return *ss;
}

Eigen::MatrixXd rows(std::initializer_list<std::initializer_list<double>> r) {
  Eigen::MatrixXd m(static_cast<Eigen::Index>(r.size()), static_cast<Eigen::Index>(r.begin()->size()));
  Eigen::Index i = 0;
  for (const auto& row : r) {
    Eigen::Index j = 0;
    for (double v : row) m(i, j++) = v;
    ++i;
  }
  return m;
}

}  // namespace

TEST(StateSpace, Arima111WithAndWithoutSimpleDifferencing) {
  SarimaxParams p;
  p.ar = {0.5};
  p.ma = {0.3};
  p.sigma2 = 2.0;
  auto ss = build(config({1, 1, 1, 0, 0, 0, 0}), p);
  EXPECT_EQ(ss.k_states, 3u);
  EXPECT_EQ(ss.k_diff, 1u);
  EXPECT_EQ(ss.transition, rows({{1, 1, 0}, {0, 0.5, 1}, {0, 0, 0}}));
  EXPECT_EQ(ss.design, Eigen::Vector3d(1, 1, 0));
  EXPECT_EQ(ss.selection, Eigen::MatrixXd(Eigen::Vector3d(0, 1, 0.3)));
  EXPECT_EQ(ss.state_cov(0, 0), 2.0);

  auto sd = build(config({1, 1, 1, 0, 0, 0, 0}, true), p);
  EXPECT_EQ(sd.k_states, 2u);
  EXPECT_EQ(sd.k_diff, 0u);
  EXPECT_EQ(sd.transition, rows({{0.5, 1}, {0, 0}}));
  EXPECT_EQ(sd.design, Eigen::Vector2d(1, 0));
}

TEST(StateSpace, SeasonalDifferencingBlock) {
  SarimaxParams p;
  p.ar = {0.7};
  auto ss = build(config({1, 1, 0, 0, 1, 0, 2}), p);
  EXPECT_EQ(ss.k_states, 4u);
  EXPECT_EQ(ss.transition, rows({{1, 0, 1, 1}, {0, 0, 1, 1}, {0, 1, 0, 0}, {0, 0, 0, 0.7}}));
  EXPECT_EQ(ss.design, Eigen::Vector4d(1, 0, 1, 1));
  EXPECT_EQ(ss.selection, Eigen::MatrixXd(Eigen::Vector4d(0, 0, 0, 1)));
}

TEST(StateSpace, SeasonalArmaProducts) {
  SarimaxParams p;
  p.ar = {0.5};
  p.seasonal_ar = {0.4};
  auto ar = build(config({1, 0, 0, 1, 0, 0, 2}), p);
  EXPECT_EQ(ar.transition, rows({{0.5, 1, 0}, {0.4, 0, 1}, {-0.5 * 0.4, 0, 0}}));

  SarimaxParams q;
  q.ma = {0.3};
  q.seasonal_ma = {0.6};
  auto ma = build(config({0, 0, 1, 0, 0, 1, 2}), q);
  EXPECT_EQ(ma.k_states, 4u);
  EXPECT_EQ(ma.transition, rows({{0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}, {0, 0, 0, 0}}));
  EXPECT_EQ(ma.selection, Eigen::MatrixXd(Eigen::Vector4d(1, 0.3, 0.6, 0.3 * 0.6)));
}

TEST(StateSpace, ChecksRunInOrder) {
  SarimaxParams p;
  const Vec y(10, 0.0);
  const Columns bad{Vec(9, 1.0), Vec(8, 1.0)};
  auto d2 = StateSpace::create(config({0, 0, 0, 0, 2, 0, 12}, true), p, y, &bad);
  ASSERT_FALSE(d2.has_value());
  EXPECT_EQ(d2.error().display(),
            "state space construction failed: Seasonal differencing D > 1 is not yet supported");

  auto s1 = StateSpace::create(config({0, 0, 0, 0, 1, 0, 1}), p, y, nullptr);
  ASSERT_FALSE(s1.has_value());
  EXPECT_EQ(s1.error().display(),
            "state space construction failed: Seasonal differencing D=1 requires seasonal period "
            "s >= 2, got s=1");
  EXPECT_TRUE(StateSpace::create(config({0, 0, 0, 0, 0, 0, 0}), p, y, nullptr).has_value());
  EXPECT_TRUE(StateSpace::create(config({0, 0, 0, 0, 0, 0, 1}), p, y, nullptr).has_value());

  auto col = StateSpace::create(config({1, 0, 0, 0, 0, 0, 0}), p, y, &bad);
  ASSERT_FALSE(col.has_value());
  EXPECT_EQ(col.error().display(), "data error: exog column 0 has 9 rows but y has 10 observations");
}

TEST(StateSpace, VarianceEntry) {
  SarimaxParams p;
  p.sigma2 = 3.0;
  auto c = config({0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(build(c, p).state_cov(0, 0), 3.0);
  c.concentrate_scale = true;
  EXPECT_EQ(build(c, p).state_cov(0, 0), 1.0);
  c.concentrate_scale = false;
  p.sigma2.reset();
  EXPECT_EQ(build(c, p).state_cov(0, 0), 1.0);
  auto white = build(c, p);
  EXPECT_EQ(white.k_states, 1u);
  EXPECT_EQ(white.transition(0, 0), 0.0);
  EXPECT_EQ(white.selection(0, 0), 1.0);
}

TEST(StateSpace, Intercepts) {
  // One trend value per time; none at all without a trend.
  EXPECT_EQ(StateSpace::build_state_intercept(3, Trend::Linear, Vec{2.0}), (Vec{0, 2, 4}));
  EXPECT_EQ(StateSpace::build_state_intercept(2, Trend::ConstantLinear, Vec{1.0, 0.5}),
            (Vec{1, 1.5}));
  EXPECT_EQ(StateSpace::build_state_intercept(2, Trend::ConstantLinear, Vec{1.0}), (Vec{1, 1}));
  EXPECT_TRUE(StateSpace::build_state_intercept(2, Trend::None, Vec{1.0}).empty());
  EXPECT_TRUE(StateSpace::build_state_intercept(2, Trend::Constant, Vec{}).empty());

  // Two coefficients, three columns: only the first two enter.
  const Columns cols{{1, 2}, {10, 20}, {100, 200}};
  EXPECT_EQ(StateSpace::build_obs_intercept(2, &cols, Vec{1.0, 0.5}), (Vec{6, 12}));
  const Columns none;
  const Vec zero = StateSpace::build_obs_intercept(2, &none, Vec{1.0});
  EXPECT_EQ(zero, (Vec{0, 0}));
  // Without columns or without coefficients there is no regression to hold.
  EXPECT_TRUE(StateSpace::build_obs_intercept(2, nullptr, Vec{1.0}).empty());
  EXPECT_TRUE(StateSpace::build_obs_intercept(2, &cols, Vec{}).empty());
  // An empty column list with coefficients gives negative zero sums.
  const Columns empty_list;
  SarimaxParams p;
  p.exog = {1.0};
  auto ss = build(config({0, 0, 0, 0, 0, 0, 0}), p, 2, &empty_list);
  EXPECT_EQ(ss.obs_intercept[0], 0.0);
  EXPECT_TRUE(std::signbit(ss.obs_intercept[0]));

  // n = 0 builds the matrices with empty intercepts.
  auto e = build(config({1, 0, 0, 0, 0, 0, 0}), SarimaxParams{{}, {}, {}, {0.5}, {}, {}, {}}, 0);
  EXPECT_TRUE(e.obs_intercept.empty());
  EXPECT_TRUE(e.state_intercept.empty());
  EXPECT_EQ(e.transition(0, 0), 0.5);
}
