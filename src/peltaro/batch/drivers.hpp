#pragma once
// Many model computations in one call, on the process-wide worker pool: fits
// of many series under one model, fits of one series under many models,
// forecasts and log-likelihoods of many series. The inputs are plain owned
// values read by every item at once; the caller holds no interpreter lock.
//
// A driver does not fail as a whole: a length mismatch, a refusal of the fork
// guard, an item's error and an unexpected fault inside an item all come back
// as per-item errors, so one bad item never costs the others their results,
// and result i always belongs to item i. Only running out of memory while
// recording a fault escapes (as std::bad_alloc).

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "peltaro/apply/forecast.hpp"
#include "peltaro/core/error.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/types.hpp"
#include "peltaro/estimation/fit_result.hpp"
#include "peltaro/parallel/fork_guard.hpp"
#include "peltaro/parallel/pool.hpp"

namespace peltaro::batch {

using FitOutcome = core::Result<estimation::FitResult>;
using ForecastOutcome = core::Result<apply::forecast::ForecastResult>;
using LoglikeOutcome = core::Result<double>;

// What an item whose work threw carries instead of its result.
inline constexpr std::string_view FAULT_MESSAGE =
    "internal panic in batch worker (isolated to this series)";

// n results, each an `InvalidInput` error carrying its own copy of `message`.
template <class T>
std::vector<core::Result<T>> length_mismatch_results(const std::string& message, std::size_t n) {
  std::vector<core::Result<T>> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(core::fail(core::SarimaxError::invalid_input(message)));
  return out;
}

// The fork guard, then `work(i)` for every item on the pool, each result
// stored at its own index. A C++ exception escaping `work(i)` is dropped and
// item i gets the fault error; the other items are unaffected.
template <class T, class Work>
std::vector<core::Result<T>> map_items(std::size_t n, const Work& work) {
  if (auto refused = parallel::guard_rayon_fork()) {
    return length_mismatch_results<T>(refused->payload(), n);
  }
  std::vector<std::optional<core::Result<T>>> slots(n);
  parallel::for_each_index(n, [&](std::size_t i) {
    try {
      slots[i].emplace(work(i));
    } catch (...) {
      slots[i].emplace(core::fail(core::SarimaxError::invalid_input(std::string(FAULT_MESSAGE))));
    }
  });
  std::vector<core::Result<T>> out;
  out.reserve(n);
  for (auto& slot : slots) out.push_back(std::move(*slot));
  return out;
}

// Fits every series with `config` (no start values). `method` absent means
// "lbfgsb", `maxiter` absent 500; an unknown method is each item's error.
std::vector<FitOutcome> batch_fit(std::span<const core::Vec> series,
                                  const core::SarimaxConfig& config,
                                  std::optional<std::string_view> method,
                                  std::optional<std::uint64_t> maxiter,
                                  const std::vector<core::Columns>* exog_list);

// Fits `y` under each configuration, result i for configuration i.
std::vector<FitOutcome> grid_search_fit(std::span<const double> y,
                                        std::span<const core::SarimaxConfig> configs,
                                        std::optional<std::string_view> method,
                                        std::optional<std::uint64_t> maxiter,
                                        const core::Columns* exog);

// Forecasts series i with parameter vector i (flat, model coordinates); a
// vector of the wrong length is that item's error.
std::vector<ForecastOutcome> batch_forecast(std::span<const core::Vec> series,
                                            const core::SarimaxConfig& config,
                                            std::span<const core::Vec> params_list,
                                            std::size_t steps, double alpha,
                                            const std::vector<core::Columns>* exog_list,
                                            const std::vector<core::Columns>* future_exog_list);

// The log-likelihood of every series at the same parameters.
std::vector<LoglikeOutcome> batch_loglike(std::span<const core::Vec> series,
                                          const core::SarimaxConfig& config,
                                          const core::SarimaxParams& params,
                                          const std::vector<core::Columns>* exog_list);

}  // namespace peltaro::batch
