#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "peltaro/core/pipeline.hpp"
#include "peltaro/estimation/fit_driver.hpp"
#include "peltaro/estimation/multistart.hpp"
#include "peltaro/estimation/start_params.hpp"
#include "score_fixtures.hpp"

using namespace peltaro;
using core::SarimaxConfig;
using core::Trend;
using core::Vec;
namespace fx = peltaro::score_fixtures;
using fx::cfg;

namespace {

TEST(FitDriver, PreStepGatesAndMargins) {
  struct Case {
    core::SarimaxOrder order;
    std::optional<double> margin;
  };
  const Case cases[] = {
      {{1, 0, 0, 0, 0, 0, 0}, std::nullopt},   // one ARMA coefficient
      {{0, 0, 1, 0, 0, 0, 0}, std::nullopt},
      {{0, 1, 0, 0, 0, 0, 0}, std::nullopt},   // none
      {{1, 0, 1, 0, 0, 0, 0}, 2.0},
      {{0, 0, 0, 1, 0, 0, 12}, 0.0},           // a seasonal coefficient alone
      {{0, 0, 0, 1, 0, 0, 1}, std::nullopt},   // s = 1 is not seasonal
      {{0, 1, 1, 0, 1, 1, 12}, 0.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(estimation::css_prestep_margin(cfg(c.order)), c.margin)
        << c.order.p << c.order.q << c.order.P << c.order.Q << " s=" << c.order.s;
  }
}

TEST(FitDriver, WarmStartFromFortyStates) {
  struct Case {
    core::SarimaxOrder order;
    bool simple_diff;
    bool applies;
  };
  const Case cases[] = {
      {{0, 1, 1, 0, 1, 1, 12}, false, false},  // 27 states
      {{0, 0, 38, 0, 0, 0, 0}, false, false},  // 39 states
      {{0, 0, 39, 0, 0, 0, 0}, false, true},   // 40 states
      {{0, 0, 39, 0, 0, 0, 0}, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(estimation::warm_start_applies(cfg(c.order, Trend::None, 0, false, true, c.simple_diff)),
              c.applies)
        << c.order.q << " " << c.simple_diff;
  }
}

TEST(FitDriver, PerturbedStartCount) {
  struct Case {
    core::SarimaxOrder order;
    bool concentrate;
    std::size_t n_starts;
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 0, 0, 0}, false, 0},  // n = 1
      {{1, 0, 0, 0, 0, 0, 0}, false, 1},  // n = 2
      {{1, 0, 1, 0, 0, 0, 0}, false, 2},  // n = 3
      {{2, 0, 1, 0, 0, 0, 0}, false, 3},  // n = 4
      {{0, 0, 0, 1, 0, 0, 4}, false, 2},  // P > 0, n = 2
      {{0, 0, 0, 0, 0, 1, 4}, false, 2},  // Q > 0, n = 2
      {{0, 0, 0, 0, 0, 1, 4}, true, 2},   // Q > 0, n = 1
      {{1, 0, 1, 1, 0, 0, 4}, false, 3},  // P > 0, n = 4
  };
  for (const Case& c : cases) {
    const SarimaxConfig config = cfg(c.order, Trend::None, 0, c.concentrate);
    EXPECT_EQ(estimation::multistart::automatic_start_count(config, config.n_params()), c.n_starts)
        << config.n_params();
  }
}

TEST(FitDriver, LabelsCountsAndFlagsOfEachPath) {
  const Vec y = fx::simulate_arma(160, {0.5}, {0.3}, 81, 1.0);
  const SarimaxConfig c = cfg({1, 0, 1, 0, 0, 0, 0});
  struct Case {
    std::optional<std::string_view> method;
    std::optional<std::uint64_t> maxiter;
    std::string label;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "lbfgsb"},
      {"lbfgsb_single", std::nullopt, "lbfgsb-strict"},
      {"nm", std::nullopt, "nelder-mead"},
      {"nm", 0, "nm"},
      {"lbfgsb_single", 0, "lbfgsb_single"},
  };
  for (const Case& k : cases) {
    auto r = estimation::fit(y, c, std::nullopt, k.method, k.maxiter, nullptr);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_EQ(r->method, k.label);
    if (k.maxiter == 0u) {
      EXPECT_EQ(r->n_iter, 0u);
      EXPECT_FALSE(r->converged);
      auto start = estimation::validate_and_get_start_params(y, c, nullptr, nullptr);
      EXPECT_EQ(r->params, *start) << "the record sits at the start values";
    } else {
      EXPECT_GT(r->n_iter, 0u);
      EXPECT_TRUE(r->converged) << k.label;
    }
  }
}

TEST(FitDriver, ObjectiveThatFailsEverywhereIsNeverConverged) {
  // D = 2 cannot be cast in state-space form: every evaluation fails. The
  // fit must not come back converged from any path that reaches a record.
  const Vec y = fx::simulate_normal(60, 82);
  const SarimaxConfig c = cfg({1, 0, 0, 0, 2, 0, 4});
  for (const char* method : {"lbfgsb", "lbfgsb-strict", "nm", "bfgs", "lbfgs", "lbfgsb-multi"}) {
    auto r = estimation::fit(y, c, Vec{0.1, 1.0}, method, 20, nullptr);
    if (r) {
      EXPECT_FALSE(r->converged) << method;
    } else {
      EXPECT_EQ(r.error().kind(), core::SarimaxError::Kind::StateSpaceConstruction) << method;
    }
  }
}

TEST(FitDriver, SimpleDifferencingFitsTheDifferencedData) {
  const Vec y = fx::log_of(fx::load_csv_column("airpassengers.csv", 1));
  const SarimaxConfig c = cfg({0, 1, 1, 0, 1, 1, 12}, Trend::None, 0, false, true, true);
  auto r = estimation::fit(y, c, std::nullopt, std::nullopt, std::nullopt, nullptr);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->n_obs, 131u);
  auto params = core::SarimaxParams::from_flat(r->params, c);
  EXPECT_NEAR(r->loglike, core::kalman_eval(y, *params, c, nullptr)->loglike, 1e-10 * std::fabs(r->loglike));
}

}  // namespace
