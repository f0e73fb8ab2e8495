#include <gtest/gtest.h>

#include <stdexcept>

#include "peltaro/core/polynomial.hpp"

using namespace peltaro::core;

TEST(LagPolynomials, BuildersFollowTheSignConvention) {
  EXPECT_EQ(make_ar_poly(Vec{}, 2), (Vec{1, 0, 0}));
  EXPECT_EQ(make_ar_poly(Vec{0.5, 0.2, 0.9}, 2), (Vec{1, -0.5, -0.2}));
  EXPECT_EQ(make_ma_poly(Vec{0.4}, 0), (Vec{1}));
  EXPECT_EQ(make_ma_poly(Vec{0.4, -0.3}, 2), (Vec{1, 0.4, -0.3}));
  EXPECT_EQ(make_seasonal_ar_poly(Vec{}, 7), (Vec{1}));
  EXPECT_EQ(make_seasonal_ma_poly(Vec{0.3, 0.1}, 4), (Vec{1, 0, 0, 0, 0.3, 0, 0, 0, 0.1}));
  EXPECT_EQ(make_seasonal_ar_poly(Vec{0.5}, 2), (Vec{1, 0, -0.5}));
}

TEST(LagPolynomials, SeasonalCoefficientsWithoutPeriodAreRefused) {
  EXPECT_THROW(make_seasonal_ar_poly(Vec{0.5}, 0), std::logic_error);
  EXPECT_EQ(make_seasonal_ma_poly(Vec{}, 0), (Vec{1}));
}

TEST(LagPolynomials, Polymul) {
  EXPECT_TRUE(polymul(Vec{}, Vec{1, 2}).empty());
  EXPECT_EQ(polymul(Vec{1}, Vec{1}), (Vec{1}));
  EXPECT_EQ(polymul(Vec{1, 2}, Vec{1, -2}), (Vec{1, 0, -4}));
}

TEST(LagPolynomials, ReducedPolynomialsMultiplyTheFactors) {
  SarimaxConfig c;
  c.order = {1, 0, 1, 1, 0, 1, 4};
  SarimaxParams p;
  p.ar = {0.5};
  p.seasonal_ar = {0.3};
  p.ma = {0.4};
  p.seasonal_ma = {-0.2};
  EXPECT_EQ(reduced_ar(p, c), (Vec{1, -0.5, 0, 0, -0.3, 0.5 * 0.3}));
  EXPECT_EQ(reduced_ma(p, c), (Vec{1, 0.4, 0, 0, -0.2, 0.4 * -0.2}));

  SarimaxConfig none;
  EXPECT_EQ(reduced_ar(SarimaxParams{}, none), (Vec{1}));
  EXPECT_EQ(reduced_ma(SarimaxParams{}, none), (Vec{1}));

  // Extra non-seasonal entries are cut at p; seasonal entries all count.
  SarimaxConfig c2;
  c2.order = {1, 0, 0, 1, 0, 0, 2};
  SarimaxParams p2;
  p2.ar = {0.5, 0.9};
  p2.seasonal_ar = {0.1, 0.2};
  EXPECT_EQ(reduced_ar(p2, c2).size(), 2u + 4u);
}
