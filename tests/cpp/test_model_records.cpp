#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "peltaro/core/error.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/types.hpp"

using namespace peltaro::core;

TEST(SarimaxOrder, KStatesCountsDifferencingAndTheLargerArmaSide) {
  EXPECT_EQ((SarimaxOrder{0, 0, 0, 0, 0, 0, 0}.k_states()), 1u);
  EXPECT_EQ((SarimaxOrder{1, 1, 1, 0, 0, 0, 0}.k_states()), 3u);
  EXPECT_EQ((SarimaxOrder{0, 1, 1, 0, 1, 1, 12}.k_states()), 27u);
  EXPECT_EQ((SarimaxOrder{2, 0, 1, 0, 0, 0, 0}.k_states()), 2u);
  EXPECT_EQ((SarimaxOrder{1, 1, 0, 0, 0, 0, 0}.k_states()), 2u);
}

TEST(SarimaxConfig, ParameterCountFollowsTheBlocks) {
  SarimaxConfig c;
  c.order = {2, 1, 1, 1, 0, 0, 4};
  c.trend = Trend::ConstantLinear;
  c.n_exog = 3;
  EXPECT_EQ(c.n_params(), 10u);
  c.concentrate_scale = true;
  EXPECT_EQ(c.n_params(), 9u);
  c.trend = Trend::Linear;
  EXPECT_EQ(c.n_params(), 8u);
  c.simple_differencing = true;
  EXPECT_EQ(c.k_diff(), 0u);
  EXPECT_EQ(c.order.k_states(), 1u + 2u + 4u);  // still counts the differencing state
}

TEST(SarimaxError, DisplayTexts) {
  EXPECT_EQ(SarimaxError::parameter_length_mismatch(5, 4).display(),
            "parameter length mismatch: expected 5, got 4");
  EXPECT_EQ(SarimaxError::data_error("Not enough observations: n=3 <= burn=3").display(),
            "data error: Not enough observations: n=3 <= burn=3");
  EXPECT_EQ(SarimaxError::state_space_construction("x").display(), "state space construction failed: x");
  EXPECT_EQ(SarimaxError::cholesky_failed().display(),
            "Cholesky decomposition failed: covariance matrix is not positive-definite");
  EXPECT_EQ(SarimaxError::optimization_failed("y").display(), "optimization failed: y");
  EXPECT_EQ(SarimaxError::non_stationary_ar().display(), "non-stationary AR polynomial");
  EXPECT_EQ(SarimaxError::non_invertible_ma().display(), "non-invertible MA polynomial");
  EXPECT_EQ(SarimaxError::invalid_input("z").display(), "invalid input: z");
  EXPECT_EQ(SarimaxError::inference_failed("w").display(), "inference computation failed: w");
}

TEST(FormatDouble, ShortestRoundTripWithoutExponent) {
  EXPECT_EQ(format_double(1.0), "1");
  EXPECT_EQ(format_double(-0.5), "-0.5");
  EXPECT_EQ(format_double(0.05), "0.05");
  EXPECT_EQ(format_double(1e-20), "0.00000000000000000001");
  EXPECT_EQ(format_double(1e21), "1000000000000000000000");
  // Shortest digits, not every digit of the stored integer value.
  EXPECT_EQ(format_double(1e23), "100000000000000000000000");
  EXPECT_EQ(format_double(std::ldexp(1.0, 70)), "1180591620717411300000");
  EXPECT_EQ(format_double(123.456), "123.456");
  EXPECT_EQ(format_double(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_double(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(format_double(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(format_double(-0.0), "-0");
  EXPECT_EQ(format_double(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(format_list({3, 1}), "[3, 1]");
  EXPECT_EQ(format_list({}), "[]");
}

TEST(SarimaxParams, SplitsTheFlatVectorInBlockOrder) {
  SarimaxConfig c;
  c.order = {1, 0, 1, 1, 0, 0, 4};
  c.trend = Trend::ConstantLinear;
  c.n_exog = 2;
  const std::vector<double> flat{0, 1, 2, 3, 4, 5, 6, 7};
  auto p = SarimaxParams::from_flat(flat, c);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->trend, (Vec{0, 1}));
  EXPECT_EQ(p->exog, (Vec{2, 3}));
  EXPECT_EQ(p->ar, (Vec{4}));
  EXPECT_EQ(p->ma, (Vec{5}));
  EXPECT_EQ(p->seasonal_ar, (Vec{6}));
  EXPECT_TRUE(p->seasonal_ma.empty());
  ASSERT_TRUE(p->sigma2.has_value());
  EXPECT_EQ(*p->sigma2, 7.0);
}

TEST(SarimaxParams, LengthMismatchIsNeverTruncatedOrPadded) {
  SarimaxConfig c;  // no blocks at all
  c.concentrate_scale = true;
  auto empty = SarimaxParams::from_flat(std::vector<double>{}, c);
  ASSERT_TRUE(empty.has_value());
  EXPECT_FALSE(empty->sigma2.has_value());

  c.concentrate_scale = false;
  auto e = SarimaxParams::from_flat(std::vector<double>{}, c);
  ASSERT_FALSE(e.has_value());
  EXPECT_EQ(e.error().display(), "parameter length mismatch: expected 1, got 0");

  c.order = {1, 0, 0, 0, 0, 0, 0};
  c.concentrate_scale = true;
  auto too_long = SarimaxParams::from_flat(std::vector<double>{0.5, 1.0}, c);
  ASSERT_FALSE(too_long.has_value());
  EXPECT_EQ(too_long.error().display(), "parameter length mismatch: expected 1, got 2");

  // Differencing orders and the period play no part in the length.
  c.order = {1, 2, 0, 0, 1, 0, 12};
  EXPECT_TRUE(SarimaxParams::from_flat(std::vector<double>{0.5}, c).has_value());
}

TEST(SarimaxParams, ValuesAreStoredUnchecked) {
  SarimaxConfig c;
  c.order = {1, 0, 0, 0, 0, 0, 0};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto p = SarimaxParams::from_flat(std::vector<double>{nan, -2.0}, c);
  ASSERT_TRUE(p.has_value());
  EXPECT_TRUE(std::isnan(p->ar[0]));
  EXPECT_EQ(*p->sigma2, -2.0);
}
