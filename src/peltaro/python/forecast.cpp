// sarimax_forecast: the h-step forecast of one series, with intervals, at
// given model parameters.

#include <algorithm>
#include <array>
#include <optional>
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

  ModelArguments a;
  std::uint64_t steps = 10;  // defaults of the text signature
  double alpha = 0.05;
  PyArrayObject* future_array = nullptr;
  if (!convert_series_array(slot[0], "y", a.y) ||
      !convert_order(slot[1], "order", a.order) ||
      !convert_seasonal(slot[2], "seasonal", a.seasonal) ||
      !convert_series_array(slot[3], "params", a.params) ||
      !convert_count(slot[4], "steps", steps) ||
      !convert_probability(slot[5], "alpha", alpha) ||
      !convert_optional_matrix_array(slot[6], "exog", a.exog) ||
      !convert_optional_matrix_array(slot[7], "future_exog", future_array) ||
      !convert_flag(slot[8], "concentrate_scale", a.flags.concentrate_scale) ||
      !convert_optional_text(slot[9], "trend", a.trend) ||
      !convert_flag(slot[10], "simple_differencing", a.flags.simple_differencing) ||
      !convert_flag(slot[11], "enforce_stationarity", a.flags.enforce_stationarity) ||
      !convert_flag(slot[12], "enforce_invertibility", a.flags.enforce_invertibility)) {
    return nullptr;
  }

  if (auto err = validate_alpha(alpha)) return raise_value_error(*err);
  if (auto err = validate_steps(steps)) return raise_value_error(*err);
  const std::optional<ModelRequest> request = take_model_request(a);
  if (!request) return nullptr;

  std::optional<core::Columns> future;
  if (future_array != nullptr) {
    MatrixView view;
    if (!matrix_view(future_array, view)) return nullptr;
    if (auto err = check_future_exog(view, request->config.n_exog, steps)) {
      return raise_value_error(*err);
    }
    view.rows = std::min<std::size_t>(view.rows, steps);  // later rows are never used
    future = numpy2d_to_cols(view);
  } else if (request->config.n_exog > 0 && steps > 0) {
    return raise_value_error(
        "model has exogenous variables: future_exog is required for forecasting");
  }

  const core::Result<apply::forecast::ForecastResult> result =
      [&]() -> core::Result<apply::forecast::ForecastResult> {
    AllowThreads unlocked;
    auto model_params = core::SarimaxParams::from_flat(request->params, request->config);
    if (!model_params) return core::fail(std::move(model_params.error()));
    return apply::forecast::forecast_pipeline(request->y, request->config, *model_params, steps,
                                              request->columns(),
                                              future ? &*future : nullptr, alpha);
  }();

  if (!result) return to_pyerr(result.error());
  return forecast_to_pydict(*result);
}

}  // namespace

PyMethodDef sarimax_forecast_def = {
    "sarimax_forecast",
    as_method(&fastcall_entry<sarimax_forecast_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_forecast(y, order, seasonal, params, steps=10, alpha=0.05, exog=None, "
    "future_exog=None, concentrate_scale=False, trend=None, simple_differencing=False, "
    "enforce_stationarity=True, enforce_invertibility=True)\n--\n\n"
    "Compute h-step ahead forecast for a SARIMAX model.\n\n"
    "Returns a dict with: mean, variance, ci_lower, ci_upper.",
};

}  // namespace peltaro::python
