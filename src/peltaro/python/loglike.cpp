// sarimax_loglike: the exact Gaussian log-likelihood of one series at given
// model parameters.

#include <array>
#include <optional>
#include <span>
#include <string>

#include "peltaro/core/params.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/python/allow_threads.hpp"
#include "peltaro/python/arguments.hpp"
#include "peltaro/python/errors.hpp"
#include "peltaro/python/functions.hpp"
#include "peltaro/python/validation.hpp"

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

  PyArrayObject* y_array = nullptr;
  std::array<std::uint64_t, 3> order{};
  std::array<std::uint64_t, 4> seasonal{};
  PyArrayObject* params_array = nullptr;
  PyArrayObject* exog_array = nullptr;
  ModelFlags flags;  // defaults of the text signature
  std::optional<std::string> trend;
  if (!convert_series_array(slot[0], "y", y_array) ||
      !convert_order(slot[1], "order", order) ||
      !convert_seasonal(slot[2], "seasonal", seasonal) ||
      !convert_series_array(slot[3], "params", params_array) ||
      !convert_optional_matrix_array(slot[4], "exog", exog_array) ||
      !convert_flag(slot[5], "concentrate_scale", flags.concentrate_scale) ||
      !convert_flag(slot[6], "enforce_stationarity", flags.enforce_stationarity) ||
      !convert_flag(slot[7], "enforce_invertibility", flags.enforce_invertibility) ||
      !convert_optional_text(slot[8], "trend", trend) ||
      !convert_flag(slot[9], "simple_differencing", flags.simple_differencing)) {
    return nullptr;
  }

  std::span<const double> y;
  std::span<const double> params;
  if (!slice_series(y_array, y) || !slice_series(params_array, params)) return nullptr;

  std::optional<MatrixView> exog_view;
  if (exog_array != nullptr) exog_view = matrix_view(exog_array);
  auto request = prepare_single_request(y, order, seasonal, exog_view ? &*exog_view : nullptr,
                                        flags, trend);
  if (!request) return raise_value_error(request.error());

  const core::Vec y_owned(y.begin(), y.end());
  const core::Vec params_owned(params.begin(), params.end());
  const core::SarimaxConfig config = request->config;
  const std::optional<core::Columns> exog = std::move(request->exog);

  const core::Result<double> loglike = [&]() -> core::Result<double> {
    AllowThreads unlocked;
    auto model_params = core::SarimaxParams::from_flat(params_owned, config);
    if (!model_params) return core::fail(std::move(model_params.error()));
    auto output = core::kalman_eval(y_owned, *model_params, config, exog ? &*exog : nullptr);
    if (!output) return core::fail(std::move(output.error()));
    return output->loglike;
  }();

  if (!loglike) return to_pyerr(loglike.error());
  return PyFloat_FromDouble(*loglike);
}

PyObject* sarimax_loglike(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  return isolate_faults([&] { return sarimax_loglike_body(args, nargsf, kwnames); });
}

}  // namespace

PyMethodDef sarimax_loglike_def = {
    "sarimax_loglike",
    as_method(&sarimax_loglike),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_loglike(y, order, seasonal, params, exog=None, concentrate_scale=False, "
    "enforce_stationarity=True, enforce_invertibility=True, trend=None, "
    "simple_differencing=False)\n--\n\n"
    "Compute the SARIMAX concentrated (or full) log-likelihood.",
};

}  // namespace peltaro::python
