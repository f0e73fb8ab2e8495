// sarimax_residuals: one-step prediction errors of one series at given model
// parameters.

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

PyObject* sarimax_residuals_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  ModelArguments a;
  if (!convert_residual_arguments("sarimax_residuals", args, nargsf, kwnames, a)) return nullptr;
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
