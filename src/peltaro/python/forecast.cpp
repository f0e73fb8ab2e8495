// sarimax_forecast: the h-step forecast of one series, with intervals, at
// given model parameters.

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>

#include "peltaro/apply/forecast_pipeline.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/python/allow_threads.hpp"
#include "peltaro/python/arguments.hpp"
#include "peltaro/python/errors.hpp"
#include "peltaro/python/functions.hpp"
#include "peltaro/python/results.hpp"
#include "peltaro/python/validation.hpp"

namespace peltaro::python {

namespace {

constexpr const char* PARAMETER_NAMES[] = {
    "y",     "order",  "seasonal", "params", "steps", "alpha", "exog", "future_exog",
    "concentrate_scale", "trend", "simple_differencing", "enforce_stationarity",
    "enforce_invertibility",
};
constexpr std::size_t N_PARAMETERS = std::size(PARAMETER_NAMES);
constexpr Signature SIGNATURE{"sarimax_forecast", PARAMETER_NAMES, 4};

// The future regressors against the model, read in place: values first, then
// the column count, then the rows each column needs.
std::optional<std::string> check_future_exog(const MatrixView& future, std::uint64_t n_exog,
                                             std::uint64_t steps) {
  if (auto err = validate_finite_view(future, "future_exog")) return err;
  if (future.cols != n_exog) {
    return "future_exog column count (" + std::to_string(future.cols) +
           ") must match exog column count (" + std::to_string(n_exog) + ")";
  }
  if (future.cols > 0 && future.rows < steps) {
    return "future_exog column 0 has " + std::to_string(future.rows) + " rows but " +
           std::to_string(steps) + " forecast steps requested";
  }
  return std::nullopt;
}

PyObject* sarimax_forecast_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, N_PARAMETERS> slot{};
  if (!match_arguments(SIGNATURE, args, nargsf, kwnames, slot)) return nullptr;

  PyArrayObject* y_array = nullptr;
  std::array<std::uint64_t, 3> order{};
  std::array<std::uint64_t, 4> seasonal{};
  PyArrayObject* params_array = nullptr;
  std::uint64_t steps = 10;
  double alpha = 0.05;
  PyArrayObject* exog_array = nullptr;
  PyArrayObject* future_array = nullptr;
  ModelFlags flags;  // defaults of the text signature
  std::optional<std::string> trend;
  if (!convert_series_array(slot[0], "y", y_array) ||
      !convert_order(slot[1], "order", order) ||
      !convert_seasonal(slot[2], "seasonal", seasonal) ||
      !convert_series_array(slot[3], "params", params_array) ||
      !convert_count(slot[4], "steps", steps) ||
      !convert_probability(slot[5], "alpha", alpha) ||
      !convert_optional_matrix_array(slot[6], "exog", exog_array) ||
      !convert_optional_matrix_array(slot[7], "future_exog", future_array) ||
      !convert_flag(slot[8], "concentrate_scale", flags.concentrate_scale) ||
      !convert_optional_text(slot[9], "trend", trend) ||
      !convert_flag(slot[10], "simple_differencing", flags.simple_differencing) ||
      !convert_flag(slot[11], "enforce_stationarity", flags.enforce_stationarity) ||
      !convert_flag(slot[12], "enforce_invertibility", flags.enforce_invertibility)) {
    return nullptr;
  }

  if (auto err = validate_alpha(alpha)) return raise_value_error(*err);
  if (auto err = validate_steps(steps)) return raise_value_error(*err);
  std::span<const double> y;
  std::span<const double> params;
  if (!slice_series(y_array, y) || !slice_series(params_array, params)) return nullptr;

  std::optional<MatrixView> exog_view;
  if (exog_array != nullptr) exog_view = matrix_view(exog_array);
  auto request = prepare_single_request(y, order, seasonal, exog_view ? &*exog_view : nullptr,
                                        flags, trend);
  if (!request) return raise_value_error(request.error());
  const core::SarimaxConfig config = request->config;

  std::optional<core::Columns> future;
  if (future_array != nullptr) {
    MatrixView view = matrix_view(future_array);
    if (auto err = check_future_exog(view, config.n_exog, steps)) return raise_value_error(*err);
    view.rows = std::min<std::size_t>(view.rows, steps);  // later rows are never used
    future = numpy2d_to_cols(view);
  } else if (config.n_exog > 0 && steps > 0) {
    return raise_value_error(
        "model has exogenous variables: future_exog is required for forecasting");
  }

  const core::Vec y_owned(y.begin(), y.end());
  const core::Vec params_owned(params.begin(), params.end());
  const std::optional<core::Columns> exog = std::move(request->exog);

  const core::Result<apply::forecast::ForecastResult> result =
      [&]() -> core::Result<apply::forecast::ForecastResult> {
    AllowThreads unlocked;
    auto model_params = core::SarimaxParams::from_flat(params_owned, config);
    if (!model_params) return core::fail(std::move(model_params.error()));
    return apply::forecast::forecast_pipeline(y_owned, config, *model_params, steps,
                                              exog ? &*exog : nullptr,
                                              future ? &*future : nullptr, alpha);
  }();

  if (!result) return to_pyerr(result.error());
  return forecast_to_pydict(*result);
}

PyObject* sarimax_forecast(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
  return isolate_faults([&] { return sarimax_forecast_body(args, nargsf, kwnames); });
}

}  // namespace

PyMethodDef sarimax_forecast_def = {
    "sarimax_forecast",
    as_method(&sarimax_forecast),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_forecast(y, order, seasonal, params, steps=10, alpha=0.05, exog=None, "
    "future_exog=None, concentrate_scale=False, trend=None, simple_differencing=False, "
    "enforce_stationarity=True, enforce_invertibility=True)\n--\n\n"
    "Compute h-step ahead forecast for a SARIMAX model.\n\n"
    "Returns a dict with: mean, variance, ci_lower, ci_upper.",
};

}  // namespace peltaro::python
