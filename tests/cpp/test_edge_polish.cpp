#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "peltaro/estimation/edge_polish.hpp"
#include "peltaro/estimation/fit_result.hpp"
#include "peltaro/estimation/objective.hpp"
#include "score_fixtures.hpp"
#include "white_noise.hpp"

using namespace peltaro;
using core::SarimaxConfig;
using core::Trend;
using core::Vec;
using peltaro::score_fixtures::cfg;
namespace ep = peltaro::estimation::edge_polish;

namespace {

SarimaxConfig concentrated(SarimaxConfig c) {
  c.concentrate_scale = true;
  return c;
}

TEST(EdgePolish, ReflectedMaRootsKeepTheExactLikelihood) {
  const double c = std::cos(0.3);
  struct Case {
    const char* what;
    SarimaxConfig config;
    Vec params, expected;
  };
  const Case cases[] = {
      {"MA(1) θ = 2", cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant), {0.3, 0.5, 2.0, 1.0},
       {0.3, 0.5, 0.5, 4.0}},
      // (1 − 2L)(1 − 0.5L) → (1 − 0.5L)²
      {"one of two real roots", cfg({0, 0, 2, 0, 0, 0, 0}), {-2.5, 1.0, 1.5}, {-1.0, 0.25, 6.0}},
      // inverse roots 1.25·e^{±0.3i} → 0.8·e^{±0.3i}, σ² times 1.25⁴
      {"complex pair", cfg({0, 0, 2, 0, 0, 0, 0}), {-2.5 * c, 1.5625, 1.0},
       {-1.6 * c, 0.64, std::pow(1.25, 4)}},
      {"seasonal block, concentrated", concentrated(cfg({1, 0, 1, 0, 0, 1, 4})), {0.5, -0.4, -1.6},
       {0.5, -0.4, -0.625}},
      {"invertible: as given", cfg({0, 0, 2, 0, 0, 1, 4}), {0.4, 0.2, -0.7, 2.0},
       {0.4, 0.2, -0.7, 2.0}},
  };
  const Vec y = peltaro::testing::white_noise(120, 7);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const Vec got = ep::reflect_ma_roots(k.params, k.config);
    ASSERT_EQ(got.size(), k.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], k.expected[i], 1e-12) << i;
    SarimaxConfig free = k.config;
    free.enforce_invertibility = false;
    // Equal but for the filter's switch to its steady state, which a
    // non-invertible form reaches more slowly (differences near 1e-6).
    EXPECT_NEAR(estimation::eval_kf_loglike_constrained(y, free, got, nullptr),
                estimation::eval_kf_loglike_constrained(y, free, k.params, nullptr), 1e-5);
  }
}

TEST(EdgePolish, EachTwinReflectsOneRootOrOnePair) {
  SarimaxConfig free = cfg({0, 1, 2, 0, 0, 0, 0});
  free.enforce_invertibility = false;
  // 1 − 0.1L − 0.12L² = (1 − 0.4L)(1 + 0.3L): 0.4 → 2.5 (σ² × 0.16),
  // −0.3 → −10/3 (σ² × 0.09).
  const std::vector<Vec> real = ep::ma_twins(Vec{-0.1, -0.12, 2.0}, free);
  ASSERT_EQ(real.size(), 2u);
  const Vec want_real[] = {{-2.2, -0.75, 0.32}, {2.0 + 14.0 / 15.0, -4.0 / 3.0, 0.18}};
  // 1 + 0.5L + 0.25L²: the pair of modulus 0.5 → 2, σ² × 0.5⁴.
  const std::vector<Vec> pair = ep::ma_twins(Vec{0.5, 0.25, 2.0}, free);
  ASSERT_EQ(pair.size(), 1u);
  const Vec want_pair{2.0, 4.0, 0.125};
  for (std::size_t i = 0; i < 3; ++i) {
    // The two real twins come in the order the roots were found.
    const bool swapped = std::fabs(real[0][0] - want_real[0][0]) > 1e-6;
    EXPECT_NEAR(real[0][i], want_real[swapped ? 1 : 0][i], 1e-12) << i;
    EXPECT_NEAR(real[1][i], want_real[swapped ? 0 : 1][i], 1e-12) << i;
    EXPECT_NEAR(pair[0][i], want_pair[i], 1e-12) << i;
  }
  // Seasonal blocks too, with a concentrated scale; none when enforced.
  SarimaxConfig seasonal = concentrated(cfg({0, 1, 0, 0, 1, 1, 4}));
  seasonal.enforce_invertibility = false;
  const std::vector<Vec> twin = ep::ma_twins(Vec{-0.5}, seasonal);
  ASSERT_EQ(twin.size(), 1u);
  EXPECT_NEAR(twin[0][0], -2.0, 1e-12);
  EXPECT_TRUE(ep::ma_twins(Vec{-0.1, -0.12, 2.0}, cfg({0, 1, 2, 0, 0, 0, 0})).empty());
}

TEST(EdgePolish, NearAnEnforcedEdgeOnly) {
  const SarimaxConfig c = cfg({1, 0, 1, 0, 0, 1, 4});
  EXPECT_TRUE(ep::near_edge(Vec{0.5, -0.995, 0.0, 1.0}, c, true));
  EXPECT_TRUE(ep::near_edge(Vec{0.5, 0.0, 0.99, 1.0}, c, true));
  EXPECT_FALSE(ep::near_edge(Vec{0.5, -0.98, 0.5, 1.0}, c, true));
  EXPECT_TRUE(ep::near_edge(Vec{0.995, 0.0, 0.0, 1.0}, c, false));
  EXPECT_FALSE(ep::near_edge(Vec{0.98, -0.995, 0.0, 1.0}, c, false));
  SarimaxConfig off = c;
  off.enforce_invertibility = false;
  off.enforce_stationarity = false;
  EXPECT_FALSE(ep::near_edge(Vec{0.995, -0.995, 0.0, 1.0}, off, true));
  EXPECT_FALSE(ep::near_edge(Vec{0.995, -0.995, 0.0, 1.0}, off, false));
}

// A search that ends on its budget reports so, though it climbed from a
// converged point: a random walk's AR(1) heads for the unit root.
TEST(EdgePolish, AStepThatRanOutOfBudgetIsNotConverged) {
  Vec y = peltaro::testing::white_noise(150, 3);
  for (std::size_t t = 1; t < y.size(); ++t) y[t] += y[t - 1];
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant);
  const Vec start{0.05, 0.99, 1.0};
  const estimation::SarimaxObjective objective(y, std::nullopt, c);
  const double f = -estimation::eval_kf_loglike_constrained(y, c, start, nullptr);
  const ep::Polished out = ep::polish(objective, y, nullptr, c, {start, f, true}, 3);
  EXPECT_LT(out.f, f);
  EXPECT_FALSE(out.converged);
}

}  // namespace
