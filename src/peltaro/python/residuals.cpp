// sarimax_residuals: one-step prediction errors of one series at given model
// parameters.

#include <array>
#include <optional>

#include "peltaro/apply/residuals.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/python/allow_threads.hpp"
#include "peltaro/python/arguments.hpp"
#include "peltaro/python/errors.hpp"
#include "peltaro/python/functions.hpp"
#include "peltaro/python/results.hpp"

namespace peltaro::python {

namespace {

constexpr const char* PARAMETER_NAMES[] = {
    "y",     "order",          "seasonal", "params", "exog", "concentrate_scale",
    "trend", "simple_differencing", "enforce_stationarity", "enforce_invertibility",
};
constexpr std::size_t N_PARAMETERS = std::size(PARAMETER_NAMES);
constexpr Signature SIGNATURE{"sarimax_residuals", PARAMETER_NAMES, 4};

PyObject* sarimax_residuals_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, N_PARAMETERS> slot{};
  if (!match_arguments(SIGNATURE, args, nargsf, kwnames, slot)) return nullptr;

  ModelArguments a;
  if (!convert_series_array(slot[0], "y", a.y) ||
      !convert_order(slot[1], "order", a.order) ||
      !convert_seasonal(slot[2], "seasonal", a.seasonal) ||
      !convert_series_array(slot[3], "params", a.params) ||
      !convert_optional_matrix_array(slot[4], "exog", a.exog) ||
      !convert_flag(slot[5], "concentrate_scale", a.flags.concentrate_scale) ||
      !convert_optional_text(slot[6], "trend", a.trend) ||
      !convert_flag(slot[7], "simple_differencing", a.flags.simple_differencing) ||
      !convert_flag(slot[8], "enforce_stationarity", a.flags.enforce_stationarity) ||
      !convert_flag(slot[9], "enforce_invertibility", a.flags.enforce_invertibility)) {
    return nullptr;
  }
  const std::optional<ModelRequest> request = take_model_request(a);
  if (!request) return nullptr;

  const core::Result<apply::ResidualOutput> result = [&]() -> core::Result<apply::ResidualOutput> {
    AllowThreads unlocked;
    auto model_params = core::SarimaxParams::from_flat(request->params, request->config);
    if (!model_params) return core::fail(std::move(model_params.error()));
    return apply::residuals_pipeline(request->y, request->config, *model_params,
                                     request->columns());
  }();

  if (!result) return to_pyerr(result.error());
  return residuals_to_pydict(*result);
}

}  // namespace

PyMethodDef sarimax_residuals_def = {
    "sarimax_residuals",
    as_method(&fastcall_entry<sarimax_residuals_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_residuals(y, order, seasonal, params, exog=None, concentrate_scale=False, "
    "trend=None, simple_differencing=False, enforce_stationarity=True, "
    "enforce_invertibility=True)\n--\n\n"
    "Compute residuals and standardized residuals for a SARIMAX model.\n\n"
    "Returns a dict with: residuals, standardized_residuals, prediction_variances.",
};

}  // namespace peltaro::python
