// sarimax_fit: maximum-likelihood fit of one model to one series.

#include <array>
#include <optional>
#include <span>
#include <string>

#include "peltaro/estimation/fit_driver.hpp"
#include "peltaro/python/allow_threads.hpp"
#include "peltaro/python/arguments.hpp"
#include "peltaro/python/errors.hpp"
#include "peltaro/python/functions.hpp"
#include "peltaro/python/results.hpp"
#include "peltaro/python/validation.hpp"

namespace peltaro::python {

namespace {

constexpr const char* PARAMETER_NAMES[] = {
    "y",      "order",   "seasonal", "start_params",        "exog",
    "concentrate_scale", "enforce_stationarity", "enforce_invertibility", "method",
    "maxiter", "trend",  "simple_differencing",
};
constexpr std::size_t N_PARAMETERS = std::size(PARAMETER_NAMES);
constexpr Signature SIGNATURE{"sarimax_fit", PARAMETER_NAMES, 3};

PyObject* sarimax_fit_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, N_PARAMETERS> slot{};
  if (!match_arguments(SIGNATURE, args, nargsf, kwnames, slot)) return nullptr;

  PyArrayObject* y_array = nullptr;
  std::array<std::uint64_t, 3> order{};
  std::array<std::uint64_t, 4> seasonal{};
  PyArrayObject* start_array = nullptr;
  PyArrayObject* exog_array = nullptr;
  ModelFlags flags;  // defaults of the text signature
  std::optional<std::string> method;
  std::optional<std::uint64_t> maxiter;
  std::optional<std::string> trend;
  if (!convert_series_array(slot[0], "y", y_array) ||
      !convert_order(slot[1], "order", order) ||
      !convert_seasonal(slot[2], "seasonal", seasonal) ||
      !convert_optional_series_array(slot[3], "start_params", start_array) ||
      !convert_optional_matrix_array(slot[4], "exog", exog_array) ||
      !convert_flag(slot[5], "concentrate_scale", flags.concentrate_scale) ||
      !convert_flag(slot[6], "enforce_stationarity", flags.enforce_stationarity) ||
      !convert_flag(slot[7], "enforce_invertibility", flags.enforce_invertibility) ||
      !convert_optional_text(slot[8], "method", method) ||
      !convert_optional_count(slot[9], "maxiter", maxiter) ||
      !convert_optional_text(slot[10], "trend", trend) ||
      !convert_flag(slot[11], "simple_differencing", flags.simple_differencing)) {
    return nullptr;
  }

  std::span<const double> y;
  if (!slice_series(y_array, y)) return nullptr;
  std::optional<MatrixView> exog_view;
  if (exog_array != nullptr && !matrix_view(exog_array, exog_view.emplace())) return nullptr;
  auto request = prepare_single_request(y, order, seasonal, exog_view ? &*exog_view : nullptr,
                                        flags, trend);
  if (!request) return raise_value_error(request.error());
  // The start vector's layout is looked at only after the model checks.
  std::span<const double> start;
  if (start_array != nullptr && !slice_series(start_array, start)) return nullptr;

  const core::Vec y_owned(y.begin(), y.end());
  const std::optional<core::Vec> start_owned =
      start_array != nullptr ? std::optional<core::Vec>(core::Vec(start.begin(), start.end()))
                             : std::nullopt;
  const core::SarimaxConfig config = request->config;
  const std::optional<core::Columns> exog = std::move(request->exog);

  const core::Result<estimation::FitResult> result = [&] {
    AllowThreads unlocked;
    return estimation::fit(
        y_owned, config,
        start_owned ? std::optional<std::span<const double>>(*start_owned) : std::nullopt,
        method ? std::optional<std::string_view>(*method) : std::nullopt, maxiter,
        exog ? &*exog : nullptr);
  }();

  if (!result) return to_pyerr(result.error());
  return fit_result_to_pydict(*result);
}

}  // namespace

PyMethodDef sarimax_fit_def = {
    "sarimax_fit",
    as_method(&fastcall_entry<sarimax_fit_body>),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "sarimax_fit(y, order, seasonal, start_params=None, exog=None, concentrate_scale=False, "
    "enforce_stationarity=True, enforce_invertibility=True, method=None, maxiter=None, "
    "trend=None, simple_differencing=False)\n--\n\n"
    "Fit a SARIMAX model via MLE (L-BFGS-B default, with Nelder-Mead fallback).\n\n"
    "Returns a dict with: params, loglike, scale, aic, bic, n_obs, n_iter, converged, method.",
};

}  // namespace peltaro::python
