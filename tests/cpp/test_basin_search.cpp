#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "peltaro/estimation/basin_search.hpp"
#include "score_fixtures.hpp"

using namespace peltaro;
using core::SarimaxConfig;
using core::Trend;
using core::Vec;
using peltaro::score_fixtures::cfg;
namespace bs = peltaro::estimation::basin_search;

namespace {

// 1 + sign·Σ c_k z^k at z.
double polynomial_at(const Vec& c, double sign, double z) {
  double v = 1.0, zk = 1.0;
  for (double ck : c) v += sign * ck * (zk *= z);
  return v;
}

TEST(BasinSearch, LiftMultipliesThePairsPolynomialsByTheFactor) {
  constexpr auto common = bs::Factor::Common, ma = bs::Factor::MovingAverage;
  struct Case {
    const char* what;
    SarimaxConfig full;
    bool seasonal;
    double rho;
    bs::Factor factor;
    Vec reduced, expected;
  };
  const Case cases[] = {
      // (1 − 0.5L)(1 − 0.9L) = 1 − 1.4L + 0.45L², (1 + 0.4L)(1 − 0.9L) = 1 − 0.5L − 0.36L²;
      // the constant keeps its mean: 2·(1 − 0.9).
      {"non-seasonal, constant and a regressor", cfg({2, 0, 2, 0, 0, 0, 0}, Trend::Constant, 1),
       false, 0.9, common, {2.0, 3.0, 0.5, 0.4, 1.5}, {0.2, 3.0, 1.4, -0.45, -0.5, -0.36, 1.5}},
      {"zero factor pads with zeros", cfg({2, 1, 1, 0, 0, 0, 0}, Trend::Linear), false, 0.0,
       common, {0.1, 0.3, 2.0}, {0.1, 0.3, 0.0, 0.0, 2.0}},
      // Seasonal pair from nothing: 1 − 0.5L⁴ on both sides, the constant
      // halved with Φ(1); no σ² when concentrated.
      {"seasonal pair", cfg({1, 0, 0, 1, 0, 1, 4}, Trend::Constant, 0, true), true, 0.5, common,
       {1.0, 0.3}, {0.5, 0.3, 0.5, -0.5}},
      // The MA polynomial alone: (1 + 0.4L)(1 − 0.9L); AR and constant stay.
      {"over-differenced MA", cfg({1, 1, 2, 0, 0, 0, 0}, Trend::Constant), false, 0.9, ma,
       {2.0, 0.5, 0.4, 1.5}, {2.0, 0.5, -0.5, -0.36, 1.5}},
      {"over-differenced seasonal MA", cfg({0, 1, 1, 0, 1, 1, 12}), true, 0.9, ma,
       {-0.4, 0.01}, {-0.4, -0.9, 0.01}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto reduced = c.factor == common ? bs::reduced_pair(c.full, c.seasonal)
                                            : bs::reduced_ma(c.full, c.seasonal);
    ASSERT_TRUE(reduced.has_value());
    EXPECT_EQ(reduced->n_params(), c.reduced.size());
    const Vec got = bs::lift(c.reduced, *reduced, c.full, c.seasonal, c.rho, c.factor);
    ASSERT_EQ(got.size(), c.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], c.expected[i], 1e-15) << i;
  }
  // The lifted pair shares the root 1/ρ.
  const Vec lifted = bs::lift(Vec{0.5, 0.4, 1.0}, *bs::reduced_pair(cfg({2, 0, 2, 0, 0, 0, 0}), false),
                              cfg({2, 0, 2, 0, 0, 0, 0}), false, 0.9, bs::Factor::Common);
  EXPECT_NEAR(polynomial_at({lifted[0], lifted[1]}, -1.0, 1.0 / 0.9), 0.0, 1e-14);
  EXPECT_NEAR(polynomial_at({lifted[2], lifted[3]}, 1.0, 1.0 / 0.9), 0.0, 1e-14);
}

TEST(BasinSearch, ReducedPairsAndWhoSearches) {
  EXPECT_FALSE(bs::reduced_pair(cfg({2, 0, 0, 1, 0, 1, 12}), false).has_value());
  EXPECT_FALSE(bs::reduced_pair(cfg({1, 0, 1, 0, 0, 2, 12}), true).has_value());
  // A seasonal part left empty loses its period; one still differenced keeps it.
  EXPECT_EQ(bs::reduced_pair(cfg({0, 0, 0, 1, 0, 1, 12}), true)->order.s, 0u);
  EXPECT_EQ(bs::reduced_pair(cfg({0, 0, 0, 1, 1, 1, 12}), true)->order.s, 12u);

  // Only a differenced pair with an MA part can be over-differenced.
  EXPECT_FALSE(bs::reduced_ma(cfg({1, 0, 2, 0, 1, 0, 4}), false).has_value());
  EXPECT_FALSE(bs::reduced_ma(cfg({1, 1, 0, 0, 0, 0, 0}), false).has_value());
  EXPECT_FALSE(bs::reduced_ma(cfg({0, 1, 1, 0, 0, 1, 12}), true).has_value());
  EXPECT_EQ(bs::reduced_ma(cfg({0, 1, 1, 0, 1, 1, 12}), true)->order.s, 12u);

  // Small models search the over-differenced basin only without seasonal terms.
  EXPECT_TRUE(bs::applies(cfg({2, 1, 1, 0, 0, 0, 0})));
  EXPECT_TRUE(bs::applies(cfg({0, 1, 2, 0, 1, 0, 12})));
  EXPECT_FALSE(bs::applies(cfg({2, 0, 1, 0, 0, 0, 0})));
  EXPECT_FALSE(bs::applies(cfg({0, 1, 1, 0, 1, 1, 12})));  // the airline model
  EXPECT_TRUE(bs::applies(cfg({2, 0, 2, 0, 0, 0, 0})));
  EXPECT_TRUE(bs::applies(cfg({2, 1, 2, 1, 1, 1, 12})));    // 28 states
  EXPECT_FALSE(bs::applies(cfg({2, 1, 2, 1, 1, 1, 52})));   // 106 states

  const Vec start{9.0, 0.5, 0.2, -0.3, 0.6, -0.4, 1.0};
  const SarimaxConfig c = cfg({2, 0, 1, 1, 0, 1, 4}, Trend::Constant);
  // φ(1)·Φ(1) = 0.3·0.4: the constant becomes the mean 9 / 0.12.
  const Vec no_ar = bs::without_blocks(start, c, true);
  EXPECT_NEAR(no_ar[0], 75.0, 1e-12);
  EXPECT_EQ(Vec(no_ar.begin() + 1, no_ar.end()), (Vec{0.0, 0.0, -0.3, 0.0, -0.4, 1.0}));
  // Near a unit root the mean means nothing: the constant stays.
  EXPECT_EQ(bs::without_blocks(Vec{9.0, 0.995, 0.0, 1.0}, cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant), true)[0],
            9.0);
  EXPECT_EQ(bs::without_blocks(start, c, false), (Vec{9.0, 0.5, 0.2, 0.0, 0.6, 0.0, 1.0}));
}

}  // namespace
