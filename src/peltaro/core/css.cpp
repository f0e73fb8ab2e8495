#include "peltaro/core/css.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "peltaro/core/polynomial.hpp"
#include "peltaro/core/state_space.hpp"

namespace peltaro::core {

Vec apply_differencing(std::span<const double> x, const SarimaxConfig& config) {
  const SarimaxOrder& o = config.order;
  Vec w(x.begin(), x.end());
  for (std::uint64_t pass = 0; pass < o.D; ++pass) {
    const std::size_t s = o.s;
    if (s == 0 || w.size() <= s) break;
    Vec next(w.size() - s);
    for (std::size_t i = s; i < w.size(); ++i) next[i - s] = w[i] - w[i - s];
    w = std::move(next);
  }
  for (std::uint64_t pass = 0; pass < o.d; ++pass) {
    if (w.size() <= 1) break;
    Vec next(w.size() - 1);
    for (std::size_t i = 1; i < w.size(); ++i) next[i - 1] = w[i] - w[i - 1];
    w = std::move(next);
  }
  return w;
}

CssData prepare_css_data(std::span<const double> y, const SarimaxConfig& config,
                         const Columns* exog) {
  CssData data;
  data.w = apply_differencing(y, config);
  // The model's time of w[0]: the raw series' time, or 0 when the model is
  // fitted to the differenced series.
  data.first_time =
      config.simple_differencing ? 0.0 : static_cast<double>(y.size() - data.w.size());
  if (exog != nullptr) {
    data.xd.emplace();
    for (const Vec& column : *exog) data.xd->push_back(apply_differencing(column, config));
  }
  return data;
}

double css_loglike_with_exog(std::span<const double> y, const SarimaxConfig& config,
                             const SarimaxParams& params, const Columns* exog) {
  return css_loglike_prepared(prepare_css_data(y, config, exog), config, params);
}

double css_loglike_prepared(const CssData& data, const SarimaxConfig& config,
                            const SarimaxParams& params) {
  constexpr double NEG_INF = -std::numeric_limits<double>::infinity();
  const Vec ar = reduced_ar(params, config);
  const Vec ma = reduced_ma(params, config);
  Vec w = data.w;
  const std::size_t L = w.size();

  const Columns* xd = data.xd ? &*data.xd : nullptr;
  if (xd != nullptr && !params.exog.empty() && xd->size() == params.exog.size()) {
    for (std::size_t j = 0; j < xd->size(); ++j) {
      const Vec& x = (*xd)[j];
      // Columns of any length line up with the end of the series; only the
      // overlap is used, so a short or long column never reads outside
      // either array.
      const std::size_t mj = std::min(x.size(), L);
      if (mj == 0) continue;
      const double beta = params.exog[j];
      const std::size_t w0 = L - mj;
      const std::size_t x0 = x.size() - mj;
      for (std::size_t i = 0; i < mj; ++i) w[w0 + i] = w[w0 + i] - beta * x[x0 + i];
    }
  }

  const std::size_t p = ar.empty() ? 0 : ar.size() - 1;
  const std::size_t q = ma.empty() ? 0 : ma.size() - 1;
  const std::size_t t0 = std::max(p, q);
  if (L <= t0) return NEG_INF;

  const bool trend = config.trend != Trend::None && !params.trend.empty();
  // Residuals before t0 count as zero.
  Vec e(L, 0.0);
  double ssr = 0.0;
  for (std::size_t t = t0; t < L; ++t) {
    double pred = trend ? trend_value(config.trend, params.trend,
                                      data.first_time + static_cast<double>(t) - 1.0)
                        : 0.0;
    for (std::size_t i = 1; i <= p; ++i) pred = pred - ar[i] * w[t - i];
    for (std::size_t i = 1; i <= q; ++i) pred = pred + ma[i] * e[t - i];
    e[t] = w[t] - pred;
    ssr = ssr + e[t] * e[t];
  }
  if (!std::isfinite(ssr) || ssr <= 0.0) return NEG_INF;
  const double m = static_cast<double>(L - t0);
  return (m * -0.5) * std::log(ssr / m) + m * -0.5;
}

}  // namespace peltaro::core
