// sarimax_inference: standard errors, z statistics, p values, confidence
// intervals and the covariance matrix of given model parameters.

#include <array>
#include <optional>
#include <string>

#include "peltaro/apply/inference.hpp"
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
    "y",     "order",  "seasonal", "params", "method", "alpha", "exog", "concentrate_scale",
    "enforce_stationarity", "enforce_invertibility", "trend", "simple_differencing",
};
constexpr std::size_t N_PARAMETERS = std::size(PARAMETER_NAMES);
constexpr Signature SIGNATURE{"sarimax_inference", PARAMETER_NAMES, 4};

PyObject* sarimax_inference_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, N_PARAMETERS> slot{};
  if (!match_arguments(SIGNATURE, args, nargsf, kwnames, slot)) return nullptr;

  ModelArguments a;
  std::string method = "hessian";  // defaults of the text signature
  double alpha = 0.05;
  if (!convert_series_array(slot[0], "y", a.y) ||
      !convert_order(slot[1], "order", a.order) ||
      !convert_seasonal(slot[2], "seasonal", a.seasonal) ||
      !convert_series_array(slot[3], "params", a.params) ||
      !convert_text(slot[4], "method", method) ||
      !convert_probability(slot[5], "alpha", alpha) ||
      !convert_optional_matrix_array(slot[6], "exog", a.exog) ||
      !convert_flag(slot[7], "concentrate_scale", a.flags.concentrate_scale) ||
      !convert_flag(slot[8], "enforce_stationarity", a.flags.enforce_stationarity) ||
      !convert_flag(slot[9], "enforce_invertibility", a.flags.enforce_invertibility) ||
      !convert_optional_text(slot[10], "trend", a.trend) ||
      !convert_flag(slot[11], "simple_differencing", a.flags.simple_differencing)) {
    return nullptr;
  }
  // Before the arrays are looked at, so a bad alpha is reported even for an
  // unusable series.
  if (auto err = validate_alpha(alpha)) return raise_value_error(*err);
  const std::optional<ModelRequest> request = take_model_request(a);
  if (!request) return nullptr;
  // The length is checked while the lock is held; the split is not kept.
  if (auto split = core::SarimaxParams::from_flat(request->params, request->config); !split) {
    return to_pyerr(std::move(split.error()));
  }

  const core::Result<apply::InferenceResult> result = [&] {
    AllowThreads unlocked;
    return apply::compute_inference(request->y, request->config, request->params, method, alpha,
                                    request->columns());
  }();

  if (!result) return to_pyerr(result.error());
  return inference_result_to_pydict(*result);
}

}  // namespace

PyMethodDef sarimax_inference_def = {
    "sarimax_inference",
    as_method(&fastcall_entry<sarimax_inference_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_inference(y, order, seasonal, params, method=\"hessian\", alpha=0.05, exog=None, "
    "concentrate_scale=False, enforce_stationarity=True, enforce_invertibility=True, "
    "trend=None, simple_differencing=False)\n--\n\n"
    "Compute inference statistics (standard errors, z, p-values, CI) for fitted parameters.\n\n"
    "Returns a dict with: method, std_err, z_stat, p_value, ci_lower, ci_upper,\n"
    "cov_params, n_params, status, message.",
};

}  // namespace peltaro::python
