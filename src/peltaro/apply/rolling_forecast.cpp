#include "peltaro/apply/rolling_forecast.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "peltaro/apply/forecast.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/pipeline.hpp"

namespace peltaro::apply {
namespace {

// The retained state covariances are what limits the number of origins:
// 2^28 doubles, 2 GiB.
constexpr std::uint64_t MAX_RETAINED_ELEMENTS = std::uint64_t{1} << 28;

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::uint64_t>::max();
  return product;
}

core::SarimaxError invalid(std::string text) {
  return core::SarimaxError::invalid_input(std::move(text));
}

// The origin list after the checks of start, step, horizon and the memory the
// snapshots of its origins would take, in this order.
core::Result<std::vector<std::size_t>> plan_origins(std::size_t n, std::size_t start,
                                                    std::size_t step, std::size_t horizon,
                                                    bool exog_model, std::uint64_t k_states) {
  if (n == 0) return core::fail(invalid("endog is empty"));
  if (start < 1 || start > n - 1) {
    return core::fail(invalid("start must be in [1, n-1] = [1, " + std::to_string(n - 1) +
                              "], got " + std::to_string(start)));
  }
  if (step == 0) return core::fail(invalid("step must be >= 1"));
  if (horizon == 0) return core::fail(invalid("horizon must be >= 1"));
  std::size_t max_origin = n - 1;
  if (exog_model) {
    if (n < horizon) {
      return core::fail(invalid("horizon " + std::to_string(horizon) +
                                " exceeds series length " + std::to_string(n) +
                                " for exog model"));
    }
    max_origin = n - horizon;
  }
  if (start > max_origin) {
    return core::fail(invalid("start " + std::to_string(start) + " exceeds max origin " +
                              std::to_string(max_origin) +
                              " (exog models cap origins at n - horizon)"));
  }
  // start + i·step for i = 0 … count − 1; a step past the largest origin,
  // however large, ends the list.
  const std::size_t count = (max_origin - start) / step + 1;
  const std::uint64_t elements = saturating_mul(saturating_mul(count, k_states), k_states);
  if (elements > MAX_RETAINED_ELEMENTS) {
    const double gib =
        static_cast<double>(saturating_mul(elements, sizeof(double))) / double(1ull << 30);
    char size[64];
    std::snprintf(size, sizeof size, "%.1f", gib);
    const std::string k = std::to_string(k_states);
    return core::fail(invalid("rolling forecast would retain " + std::to_string(count) +
                              " origin snapshots of " + k + "x" + k +
                              " state covariances (~" + size +
                              " GiB > 2 GiB limit); increase `step`, raise `start`, or split "
                              "the series into chunks"));
  }
  // The result holds four values per origin and step: a request larger than
  // the snapshots' limit would exhaust memory before anything could refuse it.
  const std::uint64_t values = saturating_mul(saturating_mul(count, horizon), 4);
  if (values > MAX_RETAINED_ELEMENTS) {
    const double gib =
        static_cast<double>(saturating_mul(values, sizeof(double))) / double(1ull << 30);
    char size[64];
    std::snprintf(size, sizeof size, "%.1f", gib);
    return core::fail(invalid("rolling forecast would return " + std::to_string(count) +
                              " origins of " + std::to_string(horizon) + " steps (~" + size +
                              " GiB > 2 GiB limit); increase `step`, raise `start`, lower "
                              "`horizon`, or split the series into chunks"));
  }
  std::vector<std::size_t> origins(count);
  for (std::size_t i = 0; i < count; ++i) origins[i] = start + i * step;
  return origins;
}

}  // namespace

core::Result<RollingForecastOutput> rolling_forecast_pipeline(
    std::span<const double> y, const core::SarimaxConfig& config,
    const core::SarimaxParams& params, std::size_t start, std::size_t step, std::size_t horizon,
    const core::Columns* exog, double alpha) {
  if (config.simple_differencing) {
    return core::fail(invalid("rolling_forecast does not support simple_differencing yet"));
  }
  const bool exog_model = exog != nullptr && !exog->empty();
  auto origins = plan_origins(y.size(), start, step, horizon, exog_model, config.order.k_states());
  if (!origins) return core::fail(std::move(origins.error()));

  auto model = core::FilterModel::build(y, params, config, exog);
  if (!model) return core::fail(std::move(model.error()));
  const core::StateSpace& ss = model->state_space();
  auto pass = core::kalman_filter_with_snapshots(y, ss, model->init(), config.concentrate_scale,
                                                 *origins);
  if (!pass) return core::fail(std::move(pass.error()));
  const double scale = pass->first.scale;
  forecast::ForecastWorkspace workspace(ss);  // one for every origin

  RollingForecastOutput out;
  const std::size_t n_origins = origins->size();
  out.mean.reserve(n_origins);
  out.variance.reserve(n_origins);
  out.ci_lower.reserve(n_origins);
  out.ci_upper.reserve(n_origins);
  // The future regressor rows of one origin; rewritten in place for the next.
  core::Columns future;
  if (exog != nullptr) future.assign(exog->size(), core::Vec(horizon));
  for (const core::StateSnapshot& snap : pass->second) {
    for (std::size_t j = 0; j < future.size(); ++j) {
      const core::Vec& column = (*exog)[j];
      std::copy(column.begin() + static_cast<std::ptrdiff_t>(snap.t),
                column.begin() + static_cast<std::ptrdiff_t>(snap.t + horizon), future[j].begin());
    }
    auto row = forecast::forecast_from_state(
        ss, snap.state, snap.cov, horizon, exog != nullptr ? &future : nullptr, params.exog,
        config.trend, config.concentrate_scale, params.trend, snap.t, scale, alpha, &workspace);
    if (!row) return core::fail(std::move(row.error()));
    out.mean.push_back(std::move(row->mean));
    out.variance.push_back(std::move(row->variance));
    out.ci_lower.push_back(std::move(row->ci_lower));
    out.ci_upper.push_back(std::move(row->ci_upper));
  }
  out.origins = std::move(*origins);
  return out;
}

}  // namespace peltaro::apply
