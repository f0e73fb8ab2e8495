#pragma once
// Result records of the numerical layers turned into Python values. Called
// with the interpreter lock held; each returns a new reference, or null with
// the Python exception set.

#include <vector>

#include "peltaro/apply/diagnostics.hpp"
#include "peltaro/apply/forecast.hpp"
#include "peltaro/apply/residuals.hpp"
#include "peltaro/apply/rolling_forecast.hpp"
#include "peltaro/apply/inference.hpp"
#include "peltaro/estimation/fit_result.hpp"
#include "peltaro/python/numpy_api.hpp"

namespace peltaro::python {

// The fit dict (params, loglike, scale, aic, bic, n_obs, n_params, n_iter,
// converged, method, warnings, in this order), after issuing every warning
// through warnings.warn. A warning turned into an exception by a filter ends
// the call with that exception; warnings issued before it stay issued.
PyObject* fit_result_to_pydict(const estimation::FitResult& fit);

// A failed batch item: "order" and "seasonal_order" when `orders` is given
// (grid items), "error" (the display text), then "converged": False for the
// items of a fit.
PyObject* error_dict(const core::SarimaxError& err, bool fit_item,
                     const core::SarimaxOrder* orders = nullptr);

// Puts "order" (p, d, q) and "seasonal_order" (P, D, Q, s) as tuples of ints
// into `dict`; false (exception set) on failure.
bool put_orders(PyObject* dict, const core::SarimaxOrder& order);

// A new list of make(i) for i in [0, n), in order; null (exception set, the
// items made so far released) as soon as one cannot be made. `make` may run
// Python code (warnings.warn), so the list is built only once every item
// exists: no code ever sees it with empty slots.
template <class Make>
PyObject* list_by_index(std::size_t n, Make make) {
  std::vector<PyObject*> items;
  items.reserve(n);
  const auto release = [&] {
    for (PyObject* item : items) Py_DECREF(item);
  };
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) {
      release();
      return nullptr;
    }
    items.push_back(item);
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) {
    release();
    return nullptr;
  }
  for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i]);
  return list;
}

// The forecast dict: mean, variance, ci_lower, ci_upper (lists of floats, in
// this order).
PyObject* forecast_to_pydict(const apply::forecast::ForecastResult& forecast);

// The rolling-forecast dict: origins (ints), then mean, variance, ci_lower,
// ci_upper (one list of floats per origin, in this order).
PyObject* rolling_forecast_to_pydict(const apply::RollingForecastOutput& rolling);

// The residuals dict: residuals, standardized_residuals, prediction_variances.
PyObject* residuals_to_pydict(const apply::ResidualOutput& residuals);

// The inference dict (method, std_err, z_stat, p_value, ci_lower, ci_upper,
// cov_params as one flat row-by-row list, n_params, status, message, in this
// order); message is None exactly when the status is "ok".
PyObject* inference_result_to_pydict(const apply::InferenceResult& inference);

// The diagnostics dict: ljung_box_stat, ljung_box_pvalue, ljung_box_df (an
// int), jarque_bera_stat, jarque_bera_pvalue, het_stat, het_pvalue.
PyObject* diagnostics_result_to_pydict(const apply::DiagnosticsResult& diagnostics);

}  // namespace peltaro::python
