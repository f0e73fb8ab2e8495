#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "peltaro/apply/forecast_pipeline.hpp"
#include "peltaro/apply/rolling_forecast.hpp"
#include "peltaro/core/pipeline.hpp"
#include "score_fixtures.hpp"
#include "white_noise.hpp"

using namespace peltaro::core;
using peltaro::apply::rolling_forecast_pipeline;
using peltaro::apply::forecast::forecast_pipeline;
using peltaro::score_fixtures::cfg;
using peltaro::testing::white_noise;

namespace {

Columns rows(const Columns& columns, std::size_t from, std::size_t to) {
  Columns out;
  for (const Vec& c : columns) out.emplace_back(c.begin() + from, c.begin() + to);
  return out;
}

void expect_close(const Vec& got, const Vec& want, double factor, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t h = 0; h < got.size(); ++h)
    EXPECT_NEAR(got[h] * factor, want[h], 1e-10 * std::max(1.0, std::fabs(want[h]))) << what << h;
}

}  // namespace

// Each row is the forecast made at its origin: the plain forecast of the
// series cut there, with the regressor rows that follow. With the scale
// concentrated a row uses the scale of the whole series, so its variances
// differ from the cut series' by the ratio of the two scales.
TEST(RollingForecast, EachRowIsThePlainForecastOfTheTruncatedSeries) {
  const std::size_t n = 90, horizon = 7;
  const Vec e = white_noise(n, 11), u = white_noise(n, 12);
  Vec y(n);
  Columns exog{Vec(n), Vec(n)};
  double level = 20.0;
  for (std::size_t t = 0; t < n; ++t) {
    level += 0.05 + 0.3 * e[t];
    exog[0][t] = 3.0 + u[t];
    exog[1][t] = static_cast<double>(t % 5);
    y[t] = level + 2.0 * std::sin(1.57 * static_cast<double>(t)) + 0.8 * exog[0][t] -
           0.5 * exog[1][t] + e[t];
  }
  struct Model {
    const char* name;
    SarimaxOrder order;
    Trend trend;
    bool with_exog, stationary, concentrate;
    Vec flat;
  };
  const Model models[] = {
      {"ARMA(2,1) + ct", {2, 0, 1, 0, 0, 0, 0}, Trend::ConstantLinear, false, true, false,
       {1.0, 0.01, 0.9, -0.2, 0.3, 1.2}},
      {"(1,1,1)(0,1,1,4)", {1, 1, 1, 0, 1, 1, 4}, Trend::None, false, true, false,
       {0.3, -0.4, -0.5, 0.8}},
      {"(1,0,0)(1,0,0,4) + c + regressors", {1, 0, 0, 1, 0, 0, 4}, Trend::Constant, true, true,
       false, {2.0, 0.8, -0.5, 0.7, 0.2, 1.5}},
      {"ARIMA(1,1,0) + t + regressors, all diffuse", {1, 1, 0, 0, 0, 0, 0}, Trend::Linear, true,
       false, false, {0.002, 0.8, -0.5, 0.4, 0.9}},
      {"ARMA(1,1) + c, concentrated", {1, 0, 1, 0, 0, 0, 0}, Trend::Constant, false, true, true,
       {5.0, 0.75, 0.2}},
  };
  for (const Model& m : models) {
    const SarimaxConfig config = cfg(m.order, m.trend, m.with_exog ? 2 : 0, m.concentrate,
                                     m.stationary);
    const SarimaxParams params = *SarimaxParams::from_flat(m.flat, config);
    const Columns* x = m.with_exog ? &exog : nullptr;
    const std::size_t diffuse =
        m.stationary ? m.order.d + m.order.D * m.order.s : m.order.k_states();
    auto rolling = rolling_forecast_pipeline(y, config, params, diffuse + 1, 2, horizon, x, 0.1);
    ASSERT_TRUE(rolling.has_value()) << m.name << ": " << rolling.error().display();
    const double full_scale = kalman_eval(y, params, config, x)->scale;
    for (std::size_t i = 0; i < rolling->origins.size(); ++i) {
      const std::size_t t = rolling->origins[i];
      const std::span<const double> cut(y.data(), t);
      const Columns past = rows(exog, 0, t), future = rows(exog, t, m.with_exog ? t + horizon : t);
      auto plain = forecast_pipeline(cut, config, params, horizon, m.with_exog ? &past : nullptr,
                                     m.with_exog ? &future : nullptr, 0.1);
      ASSERT_TRUE(plain.has_value()) << m.name << " origin " << t;
      const std::string what = std::string(m.name) + " origin " + std::to_string(t);
      const double ratio =
          m.concentrate ? kalman_eval(cut, params, config, nullptr)->scale / full_scale : 1.0;
      expect_close(rolling->mean[i], plain->mean, 1.0, what + " mean");
      expect_close(rolling->variance[i], plain->variance, ratio, what + " variance");
      if (m.concentrate) continue;
      expect_close(rolling->ci_lower[i], plain->ci_lower, 1.0, what + " lower");
      expect_close(rolling->ci_upper[i], plain->ci_upper, 1.0, what + " upper");
    }
  }
}

TEST(RollingForecast, Origins) {
  const std::size_t NONE = std::numeric_limits<std::size_t>::max();
  struct Case {
    const char* name;
    std::size_t n, start, step, horizon;
    std::size_t exog_columns;  // NONE: no regressors given
    std::vector<std::size_t> origins;
  };
  const Case cases[] = {
      {"regular", 10, 1, 3, 1, NONE, {1, 4, 7}},
      {"last in-sample origin", 10, 9, 1, 4, NONE, {9}},
      {"huge step", 10, 5, NONE, 2, NONE, {5}},
      {"step that would wrap", 10, 2, NONE - 1, 2, NONE, {2}},
      {"regressors cap at n - horizon", 10, 1, 3, 3, 1, {1, 4, 7}},
      {"zero columns count as none", 10, 8, 1, 3, 0, {8, 9}},
  };
  for (const Case& c : cases) {
    const std::size_t k = c.exog_columns == NONE ? 0 : c.exog_columns;
    const Columns columns(k, white_noise(c.n, 7));
    const SarimaxConfig config = cfg({.p = 1}, Trend::None, k);
    Vec flat(k + 2, 0.5);  // the regressors' and the AR coefficient, then the variance
    flat.back() = 1.0;
    const SarimaxParams params = *SarimaxParams::from_flat(flat, config);
    auto r = rolling_forecast_pipeline(white_noise(c.n, 3), config, params, c.start, c.step,
                                       c.horizon, c.exog_columns != NONE ? &columns : nullptr,
                                       0.05);
    ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().display();
    EXPECT_EQ(r->origins, c.origins) << c.name;
    for (const auto* table : {&r->mean, &r->variance, &r->ci_lower, &r->ci_upper}) {
      ASSERT_EQ(table->size(), c.origins.size()) << c.name;
      for (const Vec& row : *table) EXPECT_EQ(row.size(), c.horizon) << c.name;
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
  auto at = rolling_forecast_pipeline(white_noise(257, 1), config, params, 1, 1, 1, nullptr, 0.05);
  ASSERT_FALSE(at.has_value());
  EXPECT_EQ(at.error().display(),
            "state space construction failed: Seasonal differencing D > 1 is not yet supported");
}
