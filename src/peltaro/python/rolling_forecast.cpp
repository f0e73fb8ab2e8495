// sarimax_rolling_forecast: forecasts from many origins inside the sample at
// given model parameters, from one filter pass.

#include <array>
#include <optional>

#include "peltaro/apply/rolling_forecast.hpp"
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
    "y",     "order",   "seasonal",          "params", "start",
    "step",  "horizon", "alpha",             "exog",   "concentrate_scale",
    "trend", "simple_differencing", "enforce_stationarity", "enforce_invertibility",
};
constexpr std::size_t N_PARAMETERS = std::size(PARAMETER_NAMES);
constexpr Signature SIGNATURE{"sarimax_rolling_forecast", PARAMETER_NAMES, 5};

PyObject* sarimax_rolling_forecast_body(PyObject* const* args, Py_ssize_t nargsf,
                                        PyObject* kwnames) {
  std::array<PyObject*, N_PARAMETERS> slot{};
  if (!match_arguments(SIGNATURE, args, nargsf, kwnames, slot)) return nullptr;

  ModelArguments a;
  std::uint64_t start = 0;
  std::uint64_t step = 1;  // defaults of the text signature
  std::uint64_t horizon = 1;
  double alpha = 0.05;
  if (!convert_series_array(slot[0], "y", a.y) ||
      !convert_order(slot[1], "order", a.order) ||
      !convert_seasonal(slot[2], "seasonal", a.seasonal) ||
      !convert_series_array(slot[3], "params", a.params) ||
      !convert_count(slot[4], "start", start) ||
      !convert_count(slot[5], "step", step) ||
      !convert_count(slot[6], "horizon", horizon) ||
      !convert_probability(slot[7], "alpha", alpha) ||
      !convert_optional_matrix_array(slot[8], "exog", a.exog) ||
      !convert_flag(slot[9], "concentrate_scale", a.flags.concentrate_scale) ||
      !convert_optional_text(slot[10], "trend", a.trend) ||
      !convert_flag(slot[11], "simple_differencing", a.flags.simple_differencing) ||
      !convert_flag(slot[12], "enforce_stationarity", a.flags.enforce_stationarity) ||
      !convert_flag(slot[13], "enforce_invertibility", a.flags.enforce_invertibility)) {
    return nullptr;
  }
  if (auto err = validate_alpha(alpha)) return raise_value_error(*err);
  // Each forecast has `horizon` steps, under the limit of the plain forecast.
  if (auto err = validate_steps(horizon)) return raise_value_error(*err);
  const std::optional<ModelRequest> request = take_model_request(a);
  if (!request) return nullptr;

  const core::Result<apply::RollingForecastOutput> result =
      [&]() -> core::Result<apply::RollingForecastOutput> {
    AllowThreads unlocked;
    auto model_params = core::SarimaxParams::from_flat(request->params, request->config);
    if (!model_params) return core::fail(std::move(model_params.error()));
    return apply::rolling_forecast_pipeline(request->y, request->config, *model_params, start,
                                            step, horizon, request->columns(), alpha);
  }();

  if (!result) return to_pyerr(result.error());
  return rolling_forecast_to_pydict(*result);
}

}  // namespace

PyMethodDef sarimax_rolling_forecast_def = {
    "sarimax_rolling_forecast",
    as_method(&fastcall_entry<sarimax_rolling_forecast_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_rolling_forecast(y, order, seasonal, params, start, step=1, horizon=1, alpha=0.05, "
    "exog=None, concentrate_scale=False, trend=None, simple_differencing=False, "
    "enforce_stationarity=True, enforce_invertibility=True)\n--\n\n"
    "Single-pass rolling-origin h-step forecasts with fixed parameters.\n\n"
    "One Kalman filter pass over the full series; forecasts are propagated\n"
    "from the predicted-state snapshot at each origin `start, start+step, ...`.\n"
    "O(T + N*horizon) total. Returns a dict with: origins, mean, variance,\n"
    "ci_lower, ci_upper (row-per-origin nested lists).",
};

}  // namespace peltaro::python
