#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include "peltaro/apply/forecast_pipeline.hpp"
#include "peltaro/apply/rolling_forecast.hpp"
#include "peltaro/core/pipeline.hpp"
#include "white_noise.hpp"

using namespace peltaro::core;
using peltaro::testing::white_noise;
using peltaro::apply::rolling_forecast_pipeline;
using peltaro::apply::forecast::forecast_pipeline;

namespace {

constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

// An integrated series around a level, with a seasonal swing of period 4 and
// the effect of two regressors.
struct Data {
  Vec y;
  Columns exog;
};

Data make_data(std::size_t n) {
  const Vec e = white_noise(n, 11), x1 = white_noise(n, 12), x2 = white_noise(n, 13);
  Data d;
  d.y.resize(n);
  d.exog = {Vec(n), Vec(n)};
  double level = 20.0;
  for (std::size_t t = 0; t < n; ++t) {
    level += 0.05 + 0.3 * e[t];
    d.exog[0][t] = 3.0 + x1[t];
    d.exog[1][t] = static_cast<double>(t % 5) + 0.5 * x2[t];
    d.y[t] = level + 2.0 * std::sin(1.5707963267948966 * static_cast<double>(t)) +
             0.8 * d.exog[0][t] - 0.5 * d.exog[1][t] + e[t];
  }
  return d;
}

struct Model {
  const char* name;
  SarimaxOrder order;
  Trend trend;
  bool with_exog;
  bool stationary;
  bool concentrate;
  Vec flat;  // trend, exog, ar, ma, seasonal ar, seasonal ma, sigma2 unless concentrated
};

SarimaxConfig config_of(const Model& m) {
  SarimaxConfig c;
  c.order = m.order;
  c.trend = m.trend;
  c.n_exog = m.with_exog ? 2 : 0;
  c.enforce_stationarity = m.stationary;
  c.concentrate_scale = m.concentrate;
  return c;
}

Columns rows(const Columns& columns, std::size_t from, std::size_t to) {
  Columns out;
  for (const Vec& c : columns) out.emplace_back(c.begin() + from, c.begin() + to);
  return out;
}

void expect_close(const Vec& got, const Vec& want, double factor, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t h = 0; h < got.size(); ++h) {
    EXPECT_NEAR(got[h] * factor, want[h], 1e-10 * std::max(1.0, std::fabs(want[h])))
        << what << " step " << h;
  }
}

}  // namespace

// Each row is the forecast a forecaster would have made at its origin: the
// plain forecast of the series cut at the origin, with the regressor rows
// that follow it. With the scale concentrated every row uses the scale of the
// whole series, so its variances differ from the cut series' by the ratio of
// the two scales.
TEST(RollingForecast, EachRowIsThePlainForecastOfTheTruncatedSeries) {
  const Data data = make_data(90);
  const Model models[] = {
      {"ARMA(2,1) + ct", {2, 0, 1, 0, 0, 0, 0}, Trend::ConstantLinear, false, true, false,
       {1.0, 0.01, 0.9, -0.2, 0.3, 1.2}},
      {"(1,1,1)(0,1,1,4), diffuse differencing", {1, 1, 1, 0, 1, 1, 4}, Trend::None, false, true,
       false, {0.3, -0.4, -0.5, 0.8}},
      {"(1,0,0)(1,0,0,4) + c + two regressors", {1, 0, 0, 1, 0, 0, 4}, Trend::Constant, true,
       true, false, {2.0, 0.8, -0.5, 0.7, 0.2, 1.5}},
      {"ARIMA(1,1,0) + t + regressors, all diffuse", {1, 1, 0, 0, 0, 0, 0}, Trend::Linear, true,
       false, false, {0.002, 0.8, -0.5, 0.4, 0.9}},
      {"ARMA(1,1) + c, scale concentrated", {1, 0, 1, 0, 0, 0, 0}, Trend::Constant, false, true,
       true, {5.0, 0.75, 0.2}},
  };
  const std::size_t horizon = 7;
  const double alpha = 0.1;
  for (const Model& m : models) {
    const SarimaxConfig config = config_of(m);
    const SarimaxParams params = *SarimaxParams::from_flat(m.flat, config);
    const Columns* exog = m.with_exog ? &data.exog : nullptr;
    const std::size_t burn = config.order.d + config.order.D * config.order.s +
                             (m.stationary ? 0 : config.order.k_arma());
    auto rolling =
        rolling_forecast_pipeline(data.y, config, params, burn + 1, 2, horizon, exog, alpha);
    ASSERT_TRUE(rolling.has_value()) << m.name << ": " << rolling.error().display();
    const double full_scale = kalman_eval(data.y, params, config, exog)->scale;
    for (std::size_t i = 0; i < rolling->origins.size(); ++i) {
      const std::size_t t = rolling->origins[i];
      const std::span<const double> cut(data.y.data(), t);
      const Columns past = rows(data.exog, 0, t);
      const Columns future = rows(data.exog, t, t + (m.with_exog ? horizon : 0));
      auto plain = forecast_pipeline(cut, config, params, horizon, m.with_exog ? &past : nullptr,
                                     m.with_exog ? &future : nullptr, alpha);
      ASSERT_TRUE(plain.has_value()) << m.name << " origin " << t;
      const std::string what = std::string(m.name) + " origin " + std::to_string(t);
      expect_close(rolling->mean[i], plain->mean, 1.0, what + " mean");
      if (m.concentrate) {
        const double cut_scale = kalman_eval(cut, params, config, nullptr)->scale;
        expect_close(rolling->variance[i], plain->variance, cut_scale / full_scale,
                     what + " variance");
      } else {
        expect_close(rolling->variance[i], plain->variance, 1.0, what + " variance");
        expect_close(rolling->ci_lower[i], plain->ci_lower, 1.0, what + " lower");
        expect_close(rolling->ci_upper[i], plain->ci_upper, 1.0, what + " upper");
      }
    }
  }
}

TEST(RollingForecast, OriginsAndTheChecksBeforeFiltering) {
  struct Case {
    const char* name;
    std::size_t n, start, step, horizon;
    std::size_t exog_columns;  // NONE: no regressors given
    double sigma2;
    bool simple_differencing;
    std::variant<std::vector<std::size_t>, const char*> expected;
  };
  const std::size_t huge = std::numeric_limits<std::size_t>::max();
  const Case cases[] = {
      {"regular origins", 10, 1, 3, 1, NONE, 1.0, false, std::vector<std::size_t>{1, 4, 7}},
      {"last in-sample origin", 10, 9, 1, 4, NONE, 1.0, false, std::vector<std::size_t>{9}},
      {"huge step", 10, 5, huge, 2, NONE, 1.0, false, std::vector<std::size_t>{5}},
      {"step that would wrap", 10, 2, huge - 1, 2, NONE, 1.0, false, std::vector<std::size_t>{2}},
      {"exog caps at n - horizon", 10, 1, 3, 3, 1, 1.0, false, std::vector<std::size_t>{1, 4, 7}},
      {"zero columns count as none", 10, 8, 1, 3, 0, 1.0, false, std::vector<std::size_t>{8, 9}},
      {"simple differencing first", 0, 0, 0, 0, NONE, -1.0, true,
       "invalid input: rolling_forecast does not support simple_differencing yet"},
      {"empty series", 0, 1, 1, 1, NONE, 1.0, false, "invalid input: endog is empty"},
      {"single observation", 1, 1, 1, 1, NONE, 1.0, false,
       "invalid input: start must be in [1, n-1] = [1, 0], got 1"},
      {"start 0", 10, 0, 1, 1, NONE, 1.0, false,
       "invalid input: start must be in [1, n-1] = [1, 9], got 0"},
      {"start n", 10, 10, 0, 0, NONE, 1.0, false,
       "invalid input: start must be in [1, n-1] = [1, 9], got 10"},
      {"step 0", 10, 1, 0, 0, NONE, -1.0, false, "invalid input: step must be >= 1"},
      {"horizon 0", 10, 1, 1, 0, 1, -1.0, false, "invalid input: horizon must be >= 1"},
      {"horizon past the series", 10, 1, 1, 11, 1, -1.0, false,
       "invalid input: horizon 11 exceeds series length 10 for exog model"},
      {"start past the exog cap", 10, 8, 1, 3, 1, -1.0, false,
       "invalid input: start 8 exceeds max origin 7 (exog models cap origins at n - horizon)"},
      {"variance after the checks", 10, 1, 1, 1, NONE, -1.0, false,
       "data error: variance sigma2 must be positive, got -1"},
  };
  for (const Case& c : cases) {
    SarimaxConfig config;
    config.order = {1, 0, 0, 0, 0, 0, 0};
    config.simple_differencing = c.simple_differencing;
    SarimaxParams params;
    params.ar = {0.5};
    params.sigma2 = c.sigma2;
    Columns columns;
    if (c.exog_columns != NONE) {
      columns.assign(c.exog_columns, white_noise(c.n, 7));
      config.n_exog = c.exog_columns;
      params.exog.assign(c.exog_columns, 0.5);
    }
    auto r = rolling_forecast_pipeline(white_noise(c.n, 3), config, params, c.start, c.step,
                                       c.horizon, c.exog_columns != NONE ? &columns : nullptr,
                                       0.05);
    if (const auto* origins = std::get_if<std::vector<std::size_t>>(&c.expected)) {
      ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().display();
      EXPECT_EQ(r->origins, *origins) << c.name;
      ASSERT_EQ(r->mean.size(), origins->size()) << c.name;
      for (const auto* table : {&r->mean, &r->variance, &r->ci_lower, &r->ci_upper}) {
        for (const Vec& row : *table) EXPECT_EQ(row.size(), c.horizon) << c.name;
      }
    } else {
      ASSERT_FALSE(r.has_value()) << c.name;
      EXPECT_EQ(r.error().display(), std::get<const char*>(c.expected)) << c.name;
    }
  }
}

// 1024 states: 257 origins would keep 257·1024² doubles, just over 2^28.
TEST(RollingForecast, MemoryLimitOnTheRetainedCovariances) {
  SarimaxConfig config;
  config.order = {0, 1, 0, 0, 2, 0, 511};  // k = 1 + 2·511 + 1
  ASSERT_EQ(config.order.k_states(), 1024u);
  SarimaxParams params;
  params.sigma2 = 1.0;
  auto over =
      rolling_forecast_pipeline(white_noise(258, 1), config, params, 1, 1, 1, nullptr, 0.05);
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().display(),
            "invalid input: rolling forecast would retain 257 origin snapshots of 1024x1024 state "
            "covariances (~2.0 GiB > 2 GiB limit); increase `step`, raise `start`, or split the "
            "series into chunks");
  // 256 origins are exactly at the limit: the call goes on to build the
  // model, which refuses two seasonal differences.
  auto at =
      rolling_forecast_pipeline(white_noise(257, 1), config, params, 1, 1, 1, nullptr, 0.05);
  ASSERT_FALSE(at.has_value());
  EXPECT_EQ(at.error().display(),
            "state space construction failed: Seasonal differencing D > 1 is not yet supported");
}
