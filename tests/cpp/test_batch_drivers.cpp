// Batch drivers: each item equals its single-series computation, whole-call
// problems reach every item, and a fault stays inside its item.

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "peltaro/apply/forecast_pipeline.hpp"
#include "peltaro/batch/drivers.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/estimation/fit_driver.hpp"
#include "peltaro/parallel/fork_guard.hpp"

#include "fork_child.hpp"
#include "white_noise.hpp"

namespace peltaro {
namespace {

using core::SarimaxConfig;
using core::Vec;

SarimaxConfig arma11_constant() {
  SarimaxConfig c;
  c.order = {1, 0, 1, 0, 0, 0, 0};
  c.trend = core::Trend::Constant;
  return c;
}

// AR(1) around 10 with φ = 0.6 from a seeded draw.
Vec ar1_series(std::size_t n, unsigned seed) {
  Vec e = testing::white_noise(n, seed);
  Vec y(n);
  double prev = 0.0;
  for (std::size_t t = 0; t < n; ++t) y[t] = 10.0 + (prev = 0.6 * prev + e[t]);
  return y;
}

std::vector<Vec> five_series() {
  std::vector<Vec> s;
  for (unsigned i = 0; i < 5; ++i) s.push_back(ar1_series(60 + 10 * i, 100 + i));
  s[3].clear();  // no observations: an item error
  return s;
}

template <class T>
std::string error_text(const core::Result<T>& r) {
  return r ? std::string("<success>") : r.error().display();
}

template <class T>
std::vector<std::string> texts(const std::vector<core::Result<T>>& results) {
  std::vector<std::string> out;
  for (const auto& r : results) out.push_back(error_text(r));
  return out;
}

TEST(BatchDrivers, ItemsEqualTheirSingleSeriesComputationBitForBit) {
  const SarimaxConfig config = arma11_constant();
  const std::vector<Vec> series = five_series();

  const auto fits = batch::batch_fit(series, config, std::nullopt, std::nullopt, nullptr);
  const auto params = core::SarimaxParams::from_flat(Vec{10.0, 0.5, 0.2, 1.3}, config).value();
  const auto logliks = batch::batch_loglike(series, config, params, nullptr);
  std::vector<Vec> params_list(5, Vec{10.0, 0.5, 0.2, 1.3});
  params_list[1] = Vec{0.5};  // wrong length: that item only
  const auto forecasts = batch::batch_forecast(series, config, params_list, 7, 0.1, nullptr, nullptr);
  ASSERT_EQ(fits.size(), 5u);
  ASSERT_EQ(logliks.size(), 5u);
  ASSERT_EQ(forecasts.size(), 5u);

  for (std::size_t i = 0; i < 5; ++i) {
    const auto fit = estimation::fit(series[i], config, std::nullopt, "lbfgsb", 500, nullptr);
    ASSERT_EQ(fit.has_value(), fits[i].has_value()) << i;
    if (fit) {
      EXPECT_EQ(fit->params, fits[i]->params) << i;
      EXPECT_EQ(fit->loglike, fits[i]->loglike) << i;
      EXPECT_EQ(fit->n_iter, fits[i]->n_iter) << i;
    } else {
      EXPECT_EQ(fit.error(), fits[i].error()) << i;
    }
    const auto ll = core::kalman_eval(series[i], params, config, nullptr);
    ASSERT_EQ(ll.has_value(), logliks[i].has_value()) << i;
    if (ll) {
      EXPECT_EQ(ll->loglike, *logliks[i]) << i;
    }
    if (i == 1) {
      EXPECT_EQ(error_text(forecasts[i]), "parameter length mismatch: expected 4, got 1");
      continue;
    }
    const auto fc = apply::forecast::forecast_pipeline(series[i], config, params, 7, nullptr,
                                                       nullptr, 0.1);
    ASSERT_EQ(fc.has_value(), forecasts[i].has_value()) << i;
    if (fc) {
      EXPECT_EQ(fc->mean, forecasts[i]->mean) << i;
      EXPECT_EQ(fc->ci_upper, forecasts[i]->ci_upper) << i;
    }
  }
  EXPECT_FALSE(fits[3].has_value());
  EXPECT_FALSE(logliks[3].has_value());
}

TEST(BatchDrivers, GridItemIsTheFitUnderItsConfiguration) {
  const Vec y = ar1_series(80, 7);
  std::vector<SarimaxConfig> configs(3, arma11_constant());
  configs[1].order = {2, 0, 0, 0, 0, 0, 0};
  configs[2].order = {0, 0, 0, 1, 2, 0, 4};  // D = 2: a construction error
  const auto grid = batch::grid_search_fit(y, configs, "lbfgsb", 50, nullptr);
  ASSERT_EQ(grid.size(), 3u);
  for (std::size_t i = 0; i < 2; ++i) {
    const auto fit = estimation::fit(y, configs[i], std::nullopt, "lbfgsb", 50, nullptr);
    ASSERT_TRUE(fit && grid[i]) << i;
    EXPECT_EQ(fit->params, grid[i]->params);
  }
  EXPECT_EQ(error_text(grid[2]),
            "state space construction failed: Seasonal differencing D > 1 is not yet supported");
}

TEST(BatchDrivers, WholeCallProblemsGiveEveryItemTheSameError) {
  const SarimaxConfig config = arma11_constant();
  const std::vector<Vec> series = five_series();
  const std::vector<core::Columns> four(4), five(5);
  const std::vector<Vec> params5(5, Vec{10.0, 0.5, 0.2, 1.3}), params3(3);
  const auto params = core::SarimaxParams::from_flat(params5[0], config).value();

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {texts(batch::batch_fit(series, config, std::nullopt, std::nullopt, &four)),
       "invalid input: exog_list length (4) must match series length (5)"},
      {texts(batch::batch_forecast(series, config, params3, 5, 0.05, &four, &four)),
       "invalid input: params_list length (3) must match series length (5)"},
      {texts(batch::batch_forecast(series, config, params5, 5, 0.05, &four, &five)),
       "invalid input: exog_list length (4) must match series length (5)"},
      {texts(batch::batch_forecast(series, config, params5, 5, 0.05, &five, &four)),
       "invalid input: future_exog_list length (4) must match series length (5)"},
      {texts(batch::batch_loglike(series, config, params, &four)),
       "invalid input: exog_list length (4) must match series length (5)"},
      {texts(batch::batch_fit(series, config, "newton", 5, nullptr)),
       "optimization failed: unknown method: 'newton'. Valid methods: lbfgsb, lbfgsb-multi, "
       "lbfgsb-adaptive, lbfgsb-hybrid, lbfgsb-strict, lbfgsb_single, lbfgs, bfgs, trust-region, "
       "profile-trust-region, nelder-mead, nm"},
  };
  for (const auto& [texts, expected] : cases) {
    ASSERT_EQ(texts.size(), 5u) << expected;
    for (const auto& t : texts) EXPECT_EQ(t, expected);
  }
  EXPECT_TRUE(batch::batch_fit({}, config, std::nullopt, std::nullopt, &four).empty());
}

TEST(BatchDrivers, AFaultStaysInItsItem) {
  const auto out = batch::map_items<double>(5, [](std::size_t i) -> core::Result<double> {
    if (i == 2) throw std::runtime_error("injected");
    if (i == 4) throw 42;  // not even a std::exception
    return static_cast<double>(i) * 1.5;
  });
  ASSERT_EQ(out.size(), 5u);
  for (std::size_t i : {0u, 1u, 3u}) EXPECT_EQ(*out[i], static_cast<double>(i) * 1.5);
  for (std::size_t i : {2u, 4u}) {
    EXPECT_EQ(error_text(out[i]),
              "invalid input: internal panic in batch worker (isolated to this series)");
  }
}

TEST(BatchDrivers, AForkedChildOfAnOwnerComputesNothing) {
  ASSERT_FALSE(parallel::guard_rayon_fork().has_value());
  const std::string report = test::in_child([] {
    const SarimaxConfig config = arma11_constant();
    const std::vector<Vec> series(3, ar1_series(50, 1));
    bool computed = false;
    const auto items = batch::map_items<double>(3, [&](std::size_t) -> core::Result<double> {
      computed = true;
      return 0.0;
    });
    const auto fits = batch::batch_fit(series, config, std::nullopt, std::nullopt, nullptr);
    const auto none = batch::batch_loglike({}, config,
                                           core::SarimaxParams::from_flat(Vec{0, 0.5, 0.2, 1},
                                                                          config).value(),
                                           nullptr);
    std::string out = computed ? "computed;" : "";
    for (const auto& r : items) out += error_text(r) + ";";
    for (const auto& r : fits) out += error_text(r) + ";";
    return out + std::to_string(none.size());
  });
  const std::string fork_text =
      "invalid input: parallel API called in fork()ed child (pid ";
  std::size_t count = 0;
  for (std::size_t at = report.find(fork_text); at != std::string::npos;
       at = report.find(fork_text, at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 6u) << report;
  EXPECT_EQ(report.find("computed"), std::string::npos);
  EXPECT_EQ(report.find("invalid input: invalid input"), std::string::npos);
  EXPECT_EQ(report.back(), '0');
}

}  // namespace
}  // namespace peltaro
