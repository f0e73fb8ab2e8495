// sarimax_diagnostics: Ljung-Box, Jarque-Bera and variance-ratio tests on the
// standardized one-step residuals of one series at given model parameters.

#include <optional>

#include "peltaro/apply/diagnostics.hpp"
#include "peltaro/python/allow_threads.hpp"
#include "peltaro/python/arguments.hpp"
#include "peltaro/python/errors.hpp"
#include "peltaro/python/functions.hpp"
#include "peltaro/python/results.hpp"

namespace peltaro::python {

namespace {

PyObject* sarimax_diagnostics_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  ModelArguments a;
  if (!convert_residual_arguments("sarimax_diagnostics", args, nargsf, kwnames, a)) return nullptr;
  const std::optional<ModelRequest> request = take_model_request(a);
  if (!request) return nullptr;

  const core::Result<apply::DiagnosticsResult> result = [&] {
    AllowThreads unlocked;
    return apply::compute_diagnostics(request->y, request->config, request->params,
                                      request->columns());
  }();

  if (!result) return to_pyerr(result.error());
  return diagnostics_result_to_pydict(*result);
}

}  // namespace

PyMethodDef sarimax_diagnostics_def = {
    "sarimax_diagnostics",
    as_method(&fastcall_entry<sarimax_diagnostics_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_diagnostics(y, order, seasonal, params, exog=None, concentrate_scale=False, "
    "trend=None, simple_differencing=False, enforce_stationarity=True, "
    "enforce_invertibility=True)\n--\n\n"
    "Compute residual diagnostic tests (Ljung-Box, Jarque-Bera, heteroskedasticity).\n\n"
    "Returns a dict with: ljung_box_stat, ljung_box_pvalue, ljung_box_df,\n"
    "jarque_bera_stat, jarque_bera_pvalue, het_stat, het_pvalue.",
};

}  // namespace peltaro::python
