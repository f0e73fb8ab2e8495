#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/start_region.hpp"
#include "score_fixtures.hpp"

using namespace peltaro;
using core::SarimaxConfig;
using core::Trend;
using core::Vec;
using peltaro::score_fixtures::cfg;

namespace {

SarimaxConfig with_invertibility(SarimaxConfig c, bool on) {
  c.enforce_invertibility = on;
  return c;
}

std::string warning(const std::string& block, const std::string& state) {
  return "start_params: " + block + " block " + state + "; scaled to inverse-root modulus 0.99";
}

// Inverse roots a·e^{±0.3i}: 1 − 2a·cos(0.3)·L + a²·L².
Vec complex_pair(double a) { return {2.0 * a * std::cos(0.3), -a * a}; }

TEST(StartRegion, BlocksOutsideTheirRegionAreScaledToModulus099) {
  struct Case {
    const char* what;
    SarimaxConfig config;
    Vec start, expected;
    std::vector<std::string> warnings;
  };
  const double nan = std::nan("");
  const Case cases[] = {
      {"AR root at 1/1.5, trend and variance untouched", cfg({1, 0, 0, 0, 0, 0, 0}, Trend::Constant),
       {1.0, 1.5, 2.0}, {1.0, 0.99, 2.0}, {warning("AR", "is not stationary")}},
      {"MA root on the unit circle", cfg({0, 1, 1, 0, 0, 0, 0}), {-1.0, 0.01}, {-0.99, 0.01},
       {warning("MA", "is not invertible")}},
      // Inverse roots 1 and 0.2: both times 0.99.
      {"seasonal AR, seasonal MA inside", cfg({0, 0, 0, 2, 0, 1, 12}), {1.2, -0.2, -0.5, 1.0},
       {1.188, -0.2 * 0.9801, -0.5, 1.0}, {warning("seasonal AR", "is not stationary")}},
      {"seasonal MA inverse root 2", cfg({0, 0, 0, 0, 0, 1, 4}), {-2.0, 1.0}, {-0.99, 1.0},
       {warning("seasonal MA", "is not invertible")}},
      // Inside, but the unconstraining map cannot come back to it to 1e-8.
      {"AR pair at modulus 1 - 1e-9", cfg({2, 0, 0, 0, 0, 0, 0}),
       {complex_pair(1.0 - 1e-9)[0], complex_pair(1.0 - 1e-9)[1], 1.0},
       {complex_pair(0.99)[0], complex_pair(0.99)[1], 1.0},
       {warning("AR", "is nearly non-stationary")}},
      {"both blocks, in block order", cfg({1, 0, 1, 0, 0, 0, 0}), {-1.0, 1.0, 1.0},
       {-0.99, 0.99, 1.0}, {warning("AR", "is not stationary"), warning("MA", "is not invertible")}},
      {"enforce switches off", with_invertibility(cfg({1, 0, 1, 0, 0, 0, 0}, Trend::None, 0, false, false), false),
       {1.5, -2.0, 1.0}, {1.5, -2.0, 1.0}, {}},
      {"inside: as given", cfg({2, 0, 1, 1, 0, 1, 4}), {0.5, 0.2, -0.9, 0.7, -0.95, 1.0},
       {0.5, 0.2, -0.9, 0.7, -0.95, 1.0}, {}},
      {"non-finite block left to the filter", cfg({1, 0, 1, 0, 0, 0, 0}), {nan, -1.0, 1.0},
       {nan, -0.99, 1.0}, {warning("MA", "is not invertible")}},
  };
  for (const Case& c : cases) {
    Vec start = c.start;
    EXPECT_EQ(estimation::pull_into_enforced_region(start, c.config), c.warnings) << c.what;
    ASSERT_EQ(start.size(), c.expected.size());
    for (std::size_t i = 0; i < start.size(); ++i) {
      if (std::isnan(c.expected[i])) {
        EXPECT_TRUE(std::isnan(start[i])) << c.what;
      } else if (c.warnings.empty()) {
        EXPECT_EQ(start[i], c.expected[i]) << c.what << " [" << i << "] bit for bit";
      } else {
        EXPECT_NEAR(start[i], c.expected[i], 1e-12) << c.what << " [" << i << "]";
      }
    }
  }
}

TEST(StartRegion, OnlyGivenStartsArePulledBeforeTheyAreUnconstrained) {
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0});
  const Vec outside{1.5, 1.0};
  const auto computed = estimation::unconstrain_start(outside, c, false);
  ASSERT_TRUE(computed.has_value());
  EXPECT_EQ(computed->x, *core::transform_params_inner(outside, c, false));
  EXPECT_TRUE(computed->warnings.empty());

  const auto given = estimation::unconstrain_start(outside, c, true);
  ASSERT_TRUE(given.has_value());
  EXPECT_EQ(given->x, *core::transform_params_inner(Vec{0.99, 1.0}, c, false));
  EXPECT_EQ(given->warnings, std::vector<std::string>{warning("AR", "is not stationary")});

  EXPECT_EQ(estimation::unconstrain_start(Vec{0.5}, c, true).error().display(),
            "parameter length mismatch: expected 2, got 1");
}

}  // namespace
