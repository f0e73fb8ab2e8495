// The batch functions: log-likelihoods, fits and forecasts of many series,
// and fits of one series under many models, on the worker pool. Problems of
// the call as a whole raise; problems of one item come back as that item's
// dict with an "error" key.

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "peltaro/batch/drivers.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/python/allow_threads.hpp"
#include "peltaro/python/arguments.hpp"
#include "peltaro/python/errors.hpp"
#include "peltaro/python/functions.hpp"
#include "peltaro/python/results.hpp"
#include "peltaro/python/validation.hpp"

namespace peltaro::python {

namespace {

using OrderTriple = std::array<std::uint64_t, 3>;
using SeasonalQuadruple = std::array<std::uint64_t, 4>;

std::optional<std::string_view> view_of(const std::optional<std::string>& text) {
  return text ? std::optional<std::string_view>(*text) : std::nullopt;
}

// ---- sarimax_batch_loglike ------------------------------------------------

constexpr const char* LOGLIKE_NAMES[] = {
    "series_list",  "order", "seasonal", "params", "exog_list", "concentrate_scale",
    "enforce_stationarity", "enforce_invertibility", "trend", "simple_differencing",
};
constexpr Signature LOGLIKE_SIGNATURE{"sarimax_batch_loglike", LOGLIKE_NAMES, 4};

PyObject* sarimax_batch_loglike_body(PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) {
  std::array<PyObject*, std::size(LOGLIKE_NAMES)> slot{};
  if (!match_arguments(LOGLIKE_SIGNATURE, args, nargsf, kwnames, slot)) return nullptr;

  Sequence series_seq, exog_seq;
  std::vector<PyArrayObject*> series, exog;
  OrderTriple order{};
  SeasonalQuadruple seasonal{};
  PyArrayObject* params_array = nullptr;
  // The only function whose enforce flags default to off.
  ModelFlags flags{.enforce_stationarity = false, .enforce_invertibility = false};
  std::optional<std::string> trend;
  if (!convert_list(slot[0], "series_list", convert_series_array, series_seq, series) ||
      !convert_order(slot[1], "order", order) ||
      !convert_seasonal(slot[2], "seasonal", seasonal) ||
      !convert_series_array(slot[3], "params", params_array) ||
      !convert_list(slot[4], "exog_list", convert_matrix_array, exog_seq, exog, true) ||
      !convert_flag(slot[5], "concentrate_scale", flags.concentrate_scale) ||
      !convert_flag(slot[6], "enforce_stationarity", flags.enforce_stationarity) ||
      !convert_flag(slot[7], "enforce_invertibility", flags.enforce_invertibility) ||
      !convert_optional_text(slot[8], "trend", trend) ||
      !convert_flag(slot[9], "simple_differencing", flags.simple_differencing)) {
    return nullptr;
  }

  const auto request = prepare_batch_request(series, order, seasonal,
                                             exog_seq.given() ? &exog : nullptr, flags, trend);
  if (!request) return nullptr;
  std::span<const double> params;
  if (!slice_series(params_array, params)) return nullptr;
  auto model_params = core::SarimaxParams::from_flat(params, request->config);
  if (!model_params) return to_pyerr(std::move(model_params.error()));

  const std::vector<batch::LoglikeOutcome> results = [&] {
    AllowThreads unlocked;
    return batch::batch_loglike(request->series, request->config, *model_params,
                                request->exog_list());
  }();

  return list_by_index(results.size(), [&](std::size_t i) -> PyObject* {
    if (!results[i]) return error_dict(results[i].error(), false);
    return Py_BuildValue("{s:d}", "loglike", *results[i]);
  });
}

// ---- sarimax_batch_fit ----------------------------------------------------

constexpr const char* FIT_NAMES[] = {
    "series_list",  "order", "seasonal", "enforce_stationarity", "enforce_invertibility",
    "concentrate_scale", "method", "maxiter", "exog_list", "trend", "simple_differencing",
};
constexpr Signature FIT_SIGNATURE{"sarimax_batch_fit", FIT_NAMES, 3};

PyObject* sarimax_batch_fit_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, std::size(FIT_NAMES)> slot{};
  if (!match_arguments(FIT_SIGNATURE, args, nargsf, kwnames, slot)) return nullptr;

  Sequence series_seq, exog_seq;
  std::vector<PyArrayObject*> series, exog;
  OrderTriple order{};
  SeasonalQuadruple seasonal{};
  ModelFlags flags;
  std::optional<std::string> method, trend;
  std::optional<std::uint64_t> maxiter;
  if (!convert_list(slot[0], "series_list", convert_series_array, series_seq, series) ||
      !convert_order(slot[1], "order", order) ||
      !convert_seasonal(slot[2], "seasonal", seasonal) ||
      !convert_flag(slot[3], "enforce_stationarity", flags.enforce_stationarity) ||
      !convert_flag(slot[4], "enforce_invertibility", flags.enforce_invertibility) ||
      !convert_flag(slot[5], "concentrate_scale", flags.concentrate_scale) ||
      !convert_optional_text(slot[6], "method", method) ||
      !convert_optional_count(slot[7], "maxiter", maxiter) ||
      !convert_list(slot[8], "exog_list", convert_matrix_array, exog_seq, exog, true) ||
      !convert_optional_text(slot[9], "trend", trend) ||
      !convert_flag(slot[10], "simple_differencing", flags.simple_differencing)) {
    return nullptr;
  }

  const auto request = prepare_batch_request(series, order, seasonal,
                                             exog_seq.given() ? &exog : nullptr, flags, trend);
  if (!request) return nullptr;

  const std::vector<batch::FitOutcome> results = [&] {
    AllowThreads unlocked;
    return batch::batch_fit(request->series, request->config, view_of(method), maxiter,
                            request->exog_list());
  }();

  // Warnings are issued item by item, in order, as the dicts are built.
  return list_by_index(results.size(), [&](std::size_t i) {
    return results[i] ? fit_result_to_pydict(*results[i]) : error_dict(results[i].error(), true);
  });
}

// ---- sarimax_grid_search --------------------------------------------------

constexpr const char* GRID_NAMES[] = {
    "y", "order_list", "seasonal_list", "enforce_stationarity", "enforce_invertibility",
    "concentrate_scale", "method", "maxiter", "exog", "trend", "simple_differencing",
};
constexpr Signature GRID_SIGNATURE{"sarimax_grid_search", GRID_NAMES, 3};

PyObject* sarimax_grid_search_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, std::size(GRID_NAMES)> slot{};
  if (!match_arguments(GRID_SIGNATURE, args, nargsf, kwnames, slot)) return nullptr;

  PyArrayObject* y_array = nullptr;
  Sequence order_seq, seasonal_seq;
  std::vector<OrderTriple> orders;
  std::vector<SeasonalQuadruple> seasonals;
  ModelFlags flags;
  std::optional<std::string> method, trend;
  std::optional<std::uint64_t> maxiter;
  PyArrayObject* exog_array = nullptr;
  if (!convert_series_array(slot[0], "y", y_array) ||
      !convert_list(slot[1], "order_list", convert_order, order_seq, orders) ||
      !convert_list(slot[2], "seasonal_list", convert_seasonal, seasonal_seq, seasonals) ||
      !convert_flag(slot[3], "enforce_stationarity", flags.enforce_stationarity) ||
      !convert_flag(slot[4], "enforce_invertibility", flags.enforce_invertibility) ||
      !convert_flag(slot[5], "concentrate_scale", flags.concentrate_scale) ||
      !convert_optional_text(slot[6], "method", method) ||
      !convert_optional_count(slot[7], "maxiter", maxiter) ||
      !convert_optional_matrix_array(slot[8], "exog", exog_array) ||
      !convert_optional_text(slot[9], "trend", trend) ||
      !convert_flag(slot[10], "simple_differencing", flags.simple_differencing)) {
    return nullptr;
  }

  if (orders.size() != seasonals.size()) {
    return raise_value_error("order_list length (" + std::to_string(orders.size()) +
                             ") must match seasonal_list length (" +
                             std::to_string(seasonals.size()) + ")");
  }
  std::span<const double> y;
  if (!slice_series(y_array, y)) return nullptr;
  std::optional<MatrixView> exog_view;
  if (exog_array != nullptr && !matrix_view(exog_array, exog_view.emplace())) return nullptr;
  const auto n_exog = validate_single_inputs(y, exog_view ? &*exog_view : nullptr);
  if (!n_exog) return raise_value_error(n_exog.error());
  const auto trend_code = parse_trend(trend);
  if (!trend_code) return raise_value_error(trend_code.error());
  std::vector<core::SarimaxConfig> configs;
  configs.reserve(orders.size());
  for (std::size_t i = 0; i < orders.size(); ++i) {
    const core::SarimaxOrder o = make_order(orders[i], seasonals[i]);
    if (auto err = validate_order(o, *n_exog)) return raise_value_error(*err);
    configs.push_back(make_config(o, *n_exog, *trend_code, flags));
  }

  const core::Vec y_owned(y.begin(), y.end());
  const std::optional<core::Columns> exog =
      exog_view ? std::optional<core::Columns>(numpy2d_to_cols(*exog_view)) : std::nullopt;
  const std::vector<batch::FitOutcome> results = [&] {
    AllowThreads unlocked;
    return batch::grid_search_fit(y_owned, configs, view_of(method), maxiter,
                                  exog ? &*exog : nullptr);
  }();

  return list_by_index(results.size(), [&](std::size_t i) -> PyObject* {
    const core::SarimaxOrder& o = configs[i].order;
    if (!results[i]) return error_dict(results[i].error(), true, &o);
    PyObject* dict = fit_result_to_pydict(*results[i]);
    if (dict != nullptr && !put_orders(dict, o)) Py_CLEAR(dict);
    return dict;
  });
}

// ---- sarimax_batch_forecast -----------------------------------------------

constexpr const char* FORECAST_NAMES[] = {
    "series_list", "order", "seasonal", "params_list", "steps", "alpha", "concentrate_scale",
    "exog_list", "exog_forecast_list", "trend", "simple_differencing", "enforce_stationarity",
    "enforce_invertibility",
};
constexpr Signature FORECAST_SIGNATURE{"sarimax_batch_forecast", FORECAST_NAMES, 4};

// Each future regressor matrix against the model and the horizon, read in
// place; copied (only the rows the horizon uses) once all have passed.
std::optional<std::vector<core::Columns>> take_future_exog(
    const std::vector<PyArrayObject*>& matrices, std::size_t n_series, std::uint64_t n_exog,
    std::uint64_t steps) {
  if (matrices.size() != n_series) {
    raise_value_error("exog_forecast_list length (" + std::to_string(matrices.size()) +
                      ") must match series_list length (" + std::to_string(n_series) + ")");
    return std::nullopt;
  }
  std::vector<MatrixView> views;
  views.reserve(matrices.size());
  for (PyArrayObject* matrix : matrices) {
    if (!matrix_view(matrix, views.emplace_back())) return std::nullopt;
  }
  for (std::size_t i = 0; i < views.size(); ++i) {
    const std::string label = "exog_forecast_list[" + std::to_string(i) + "]";
    std::optional<std::string> err = validate_finite_view(views[i], label);
    if (!err && views[i].cols != n_exog) {
      err = "exog_forecast at index " + std::to_string(i) + " has " +
            std::to_string(views[i].cols) + " columns but expected " + std::to_string(n_exog);
    }
    if (!err && views[i].cols > 0 && views[i].rows < steps) {
      err = label + " column 0 has " + std::to_string(views[i].rows) + " rows but " +
            std::to_string(steps) + " forecast steps requested";
    }
    if (err) {
      raise_value_error(*err);
      return std::nullopt;
    }
  }
  std::vector<core::Columns> future;
  future.reserve(views.size());
  for (MatrixView view : views) {
    view.rows = std::min<std::size_t>(view.rows, steps);  // later rows are never used
    future.push_back(numpy2d_to_cols(view));
  }
  return future;
}

PyObject* sarimax_batch_forecast_body(PyObject* const* args, Py_ssize_t nargsf,
                                      PyObject* kwnames) {
  std::array<PyObject*, std::size(FORECAST_NAMES)> slot{};
  if (!match_arguments(FORECAST_SIGNATURE, args, nargsf, kwnames, slot)) return nullptr;

  Sequence series_seq, params_seq, exog_seq, future_seq;
  std::vector<PyArrayObject*> series, params_arrays, exog, future_arrays;
  OrderTriple order{};
  SeasonalQuadruple seasonal{};
  std::uint64_t steps = 10;  // defaults of the text signature
  double alpha = 0.05;
  ModelFlags flags;
  std::optional<std::string> trend;
  if (!convert_list(slot[0], "series_list", convert_series_array, series_seq, series) ||
      !convert_order(slot[1], "order", order) ||
      !convert_seasonal(slot[2], "seasonal", seasonal) ||
      !convert_list(slot[3], "params_list", convert_series_array, params_seq, params_arrays) ||
      !convert_count(slot[4], "steps", steps) ||
      !convert_probability(slot[5], "alpha", alpha) ||
      !convert_flag(slot[6], "concentrate_scale", flags.concentrate_scale) ||
      !convert_list(slot[7], "exog_list", convert_matrix_array, exog_seq, exog, true) ||
      !convert_list(slot[8], "exog_forecast_list", convert_matrix_array, future_seq, future_arrays,
                    true) ||
      !convert_optional_text(slot[9], "trend", trend) ||
      !convert_flag(slot[10], "simple_differencing", flags.simple_differencing) ||
      !convert_flag(slot[11], "enforce_stationarity", flags.enforce_stationarity) ||
      !convert_flag(slot[12], "enforce_invertibility", flags.enforce_invertibility)) {
    return nullptr;
  }

  if (series.size() != params_arrays.size()) {
    return raise_value_error("series_list and params_list must have same length: " +
                             std::to_string(series.size()) + " vs " +
                             std::to_string(params_arrays.size()));
  }
  if (auto err = validate_steps(steps)) return raise_value_error(*err);
  if (auto err = validate_alpha(alpha)) return raise_value_error(*err);
  const auto request = prepare_batch_request(series, order, seasonal,
                                             exog_seq.given() ? &exog : nullptr, flags, trend);
  if (!request) return nullptr;
  std::optional<std::vector<core::Columns>> future;
  if (future_seq.given()) {
    future = take_future_exog(future_arrays, series.size(), request->config.n_exog, steps);
    if (!future) return nullptr;
  }
  std::vector<core::Vec> params_list;
  params_list.reserve(params_arrays.size());
  for (PyArrayObject* array : params_arrays) {
    auto params = copy_series(array);
    if (!params) return nullptr;
    params_list.push_back(std::move(*params));
  }

  const std::vector<batch::ForecastOutcome> results = [&] {
    AllowThreads unlocked;
    return batch::batch_forecast(request->series, request->config, params_list, steps, alpha,
                                 request->exog_list(), future ? &*future : nullptr);
  }();

  return list_by_index(results.size(), [&](std::size_t i) {
    return results[i] ? forecast_to_pydict(*results[i]) : error_dict(results[i].error(), false);
  });
}

}  // namespace

PyMethodDef sarimax_batch_loglike_def = {
    "sarimax_batch_loglike",
    as_method(&fastcall_entry<sarimax_batch_loglike_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_batch_loglike(series_list, order, seasonal, params, exog_list=None, "
    "concentrate_scale=False, enforce_stationarity=False, enforce_invertibility=False, "
    "trend=None, simple_differencing=False)\n--\n\n"
    "Compute log-likelihood for multiple time series in parallel (Rayon).\n\n"
    "All series share the same model config and parameters.\n"
    "Returns a list of dicts, each with \"loglike\" key or \"error\" key.",
};

PyMethodDef sarimax_batch_fit_def = {
    "sarimax_batch_fit",
    as_method(&fastcall_entry<sarimax_batch_fit_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_batch_fit(series_list, order, seasonal, enforce_stationarity=True, "
    "enforce_invertibility=True, concentrate_scale=False, method=None, maxiter=None, "
    "exog_list=None, trend=None, simple_differencing=False)\n--\n\n"
    "Fit SARIMAX models to multiple time series in parallel (Rayon).\n\n"
    "Returns a list of dicts (one per series), each with the same keys as sarimax_fit.\n"
    "Failed series return a dict with \"error\" key instead.",
};

PyMethodDef sarimax_grid_search_def = {
    "sarimax_grid_search",
    as_method(&fastcall_entry<sarimax_grid_search_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_grid_search(y, order_list, seasonal_list, enforce_stationarity=True, "
    "enforce_invertibility=True, concentrate_scale=False, method=None, maxiter=None, "
    "exog=None, trend=None, simple_differencing=False)\n--\n\n"
    "Fit a single time series with multiple (order, seasonal_order) combinations\n"
    "in parallel using Rayon.\n\n"
    "Returns a list of dicts (one per combination), same structure as sarimax_fit.\n"
    "Failed combinations have an \"error\" key instead of fit results.",
};

PyMethodDef sarimax_batch_forecast_def = {
    "sarimax_batch_forecast",
    as_method(&fastcall_entry<sarimax_batch_forecast_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_batch_forecast(series_list, order, seasonal, params_list, steps=10, alpha=0.05, "
    "concentrate_scale=False, exog_list=None, exog_forecast_list=None, trend=None, "
    "simple_differencing=False, enforce_stationarity=True, enforce_invertibility=True)"
    "\n--\n\n"
    "Forecast multiple time series in parallel (Rayon).\n\n"
    "Each series uses its own parameter vector from params_list.\n"
    "Returns a list of dicts (one per series).",
};

}  // namespace peltaro::python
