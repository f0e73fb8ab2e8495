#include "peltaro/batch/drivers.hpp"

#include <string>

#include "peltaro/apply/forecast_pipeline.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/estimation/fit_driver.hpp"

namespace peltaro::batch {
namespace {

constexpr std::uint64_t DEFAULT_MAXITER = 500;
constexpr std::string_view DEFAULT_METHOD = "lbfgsb";

std::string mismatch_message(std::string_view list, std::size_t length, std::size_t n) {
  return std::string(list) + " length (" + std::to_string(length) + ") must match series length (" +
         std::to_string(n) + ")";
}

// The columns of item i: entry i of the list when there is one.
const core::Columns* item_columns(const std::vector<core::Columns>* list, std::size_t i) {
  return list != nullptr && i < list->size() ? &(*list)[i] : nullptr;
}

}  // namespace

std::vector<FitOutcome> batch_fit(std::span<const core::Vec> series,
                                  const core::SarimaxConfig& config,
                                  std::optional<std::string_view> method,
                                  std::optional<std::uint64_t> maxiter,
                                  const std::vector<core::Columns>* exog_list) {
  const std::string_view name = method.value_or(DEFAULT_METHOD);
  const std::uint64_t budget = maxiter.value_or(DEFAULT_MAXITER);
  const std::size_t n = series.size();
  if (exog_list != nullptr && exog_list->size() != n) {
    return length_mismatch_results<estimation::FitResult>(
        mismatch_message("exog_list", exog_list->size(), n), n);
  }
  return map_items<estimation::FitResult>(n, [&](std::size_t i) {
    return estimation::fit(series[i], config, std::nullopt, name, budget,
                           item_columns(exog_list, i));
  });
}

std::vector<FitOutcome> grid_search_fit(std::span<const double> y,
                                        std::span<const core::SarimaxConfig> configs,
                                        std::optional<std::string_view> method,
                                        std::optional<std::uint64_t> maxiter,
                                        const core::Columns* exog) {
  const std::string_view name = method.value_or(DEFAULT_METHOD);
  const std::uint64_t budget = maxiter.value_or(DEFAULT_MAXITER);
  return map_items<estimation::FitResult>(configs.size(), [&](std::size_t i) {
    return estimation::fit(y, configs[i], std::nullopt, name, budget, exog);
  });
}

std::vector<ForecastOutcome> batch_forecast(std::span<const core::Vec> series,
                                            const core::SarimaxConfig& config,
                                            std::span<const core::Vec> params_list,
                                            std::size_t steps, double alpha,
                                            const std::vector<core::Columns>* exog_list,
                                            const std::vector<core::Columns>* future_exog_list) {
  using apply::forecast::ForecastResult;
  const std::size_t n = series.size();
  if (params_list.size() != n) {
    return length_mismatch_results<ForecastResult>(
        mismatch_message("params_list", params_list.size(), n), n);
  }
  if (exog_list != nullptr && exog_list->size() != n) {
    return length_mismatch_results<ForecastResult>(
        mismatch_message("exog_list", exog_list->size(), n), n);
  }
  if (future_exog_list != nullptr && future_exog_list->size() != n) {
    return length_mismatch_results<ForecastResult>(
        mismatch_message("future_exog_list", future_exog_list->size(), n), n);
  }
  return map_items<ForecastResult>(n, [&](std::size_t i) -> ForecastOutcome {
    auto params = core::SarimaxParams::from_flat(params_list[i], config);
    if (!params) return core::fail(std::move(params.error()));
    return apply::forecast::forecast_pipeline(series[i], config, *params, steps,
                                              item_columns(exog_list, i),
                                              item_columns(future_exog_list, i), alpha);
  });
}

std::vector<LoglikeOutcome> batch_loglike(std::span<const core::Vec> series,
                                          const core::SarimaxConfig& config,
                                          const core::SarimaxParams& params,
                                          const std::vector<core::Columns>* exog_list) {
  const std::size_t n = series.size();
  if (exog_list != nullptr && exog_list->size() != n) {
    return length_mismatch_results<double>(mismatch_message("exog_list", exog_list->size(), n), n);
  }
  return map_items<double>(n, [&](std::size_t i) -> LoglikeOutcome {
    auto out = core::kalman_eval(series[i], params, config, item_columns(exog_list, i));
    if (!out) return core::fail(std::move(out.error()));
    return out->loglike;
  });
}

}  // namespace peltaro::batch
