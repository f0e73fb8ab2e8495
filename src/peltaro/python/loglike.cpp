// sarimax_loglike: the exact Gaussian log-likelihood of one series at given
// model parameters.

#include <array>
#include <optional>

#include "peltaro/core/params.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/python/allow_threads.hpp"
#include "peltaro/python/arguments.hpp"
#include "peltaro/python/errors.hpp"
#include "peltaro/python/functions.hpp"

namespace peltaro::python {

namespace {

constexpr const char* PARAMETER_NAMES[] = {
    "y",     "order", "seasonal", "params", "exog", "concentrate_scale", "enforce_stationarity",
    "enforce_invertibility", "trend", "simple_differencing",
};
constexpr std::size_t N_PARAMETERS = std::size(PARAMETER_NAMES);
constexpr Signature SIGNATURE{"sarimax_loglike", PARAMETER_NAMES, 4};

PyObject* sarimax_loglike_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, N_PARAMETERS> slot{};
  if (!match_arguments(SIGNATURE, args, nargsf, kwnames, slot)) return nullptr;

  ModelArguments a;
  if (!convert_series_array(slot[0], "y", a.y) ||
      !convert_order(slot[1], "order", a.order) ||
      !convert_seasonal(slot[2], "seasonal", a.seasonal) ||
      !convert_series_array(slot[3], "params", a.params) ||
      !convert_optional_matrix_array(slot[4], "exog", a.exog) ||
      !convert_flag(slot[5], "concentrate_scale", a.flags.concentrate_scale) ||
      !convert_flag(slot[6], "enforce_stationarity", a.flags.enforce_stationarity) ||
      !convert_flag(slot[7], "enforce_invertibility", a.flags.enforce_invertibility) ||
      !convert_optional_text(slot[8], "trend", a.trend) ||
      !convert_flag(slot[9], "simple_differencing", a.flags.simple_differencing)) {
    return nullptr;
  }
  const std::optional<ModelRequest> request = take_model_request(a);
  if (!request) return nullptr;

  const core::Result<double> loglike = [&]() -> core::Result<double> {
    AllowThreads unlocked;
    auto model_params = core::SarimaxParams::from_flat(request->params, request->config);
    if (!model_params) return core::fail(std::move(model_params.error()));
    auto output = core::kalman_eval(request->y, *model_params, request->config,
                                    request->columns());
    if (!output) return core::fail(std::move(output.error()));
    return output->loglike;
  }();

  if (!loglike) return to_pyerr(loglike.error());
  return PyFloat_FromDouble(*loglike);
}

}  // namespace

PyMethodDef sarimax_loglike_def = {
    "sarimax_loglike",
    as_method(&fastcall_entry<sarimax_loglike_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_loglike(y, order, seasonal, params, exog=None, concentrate_scale=False, "
    "enforce_stationarity=True, enforce_invertibility=True, trend=None, "
    "simple_differencing=False)\n--\n\n"
    "Compute the SARIMAX concentrated (or full) log-likelihood.",
};

}  // namespace peltaro::python
