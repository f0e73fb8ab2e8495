// sarimax_residuals: one-step prediction errors of one series at given model
// parameters.

#include <array>
#include <optional>
#include <span>
#include <string>

#include "peltaro/apply/residuals.hpp"
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
    "y",     "order",          "seasonal", "params", "exog", "concentrate_scale",
    "trend", "simple_differencing", "enforce_stationarity", "enforce_invertibility",
};
constexpr std::size_t N_PARAMETERS = std::size(PARAMETER_NAMES);
constexpr Signature SIGNATURE{"sarimax_residuals", PARAMETER_NAMES, 4};

PyObject* sarimax_residuals_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
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
      !convert_optional_text(slot[6], "trend", trend) ||
      !convert_flag(slot[7], "simple_differencing", flags.simple_differencing) ||
      !convert_flag(slot[8], "enforce_stationarity", flags.enforce_stationarity) ||
      !convert_flag(slot[9], "enforce_invertibility", flags.enforce_invertibility)) {
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

  const core::Result<apply::ResidualOutput> result = [&]() -> core::Result<apply::ResidualOutput> {
    AllowThreads unlocked;
    auto model_params = core::SarimaxParams::from_flat(params_owned, config);
    if (!model_params) return core::fail(std::move(model_params.error()));
    return apply::residuals_pipeline(y_owned, config, *model_params, exog ? &*exog : nullptr);
  }();

  if (!result) return to_pyerr(result.error());
  return residuals_to_pydict(*result);
}

PyObject* sarimax_residuals(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
  return isolate_faults([&] { return sarimax_residuals_body(args, nargsf, kwnames); });
}

}  // namespace

PyMethodDef sarimax_residuals_def = {
    "sarimax_residuals",
    as_method(&sarimax_residuals),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_residuals(y, order, seasonal, params, exog=None, concentrate_scale=False, "
    "trend=None, simple_differencing=False, enforce_stationarity=True, "
    "enforce_invertibility=True)\n--\n\n"
    "Compute residuals and standardized residuals for a SARIMAX model.\n\n"
    "Returns a dict with: residuals, standardized_residuals, prediction_variances.",
};

}  // namespace peltaro::python
