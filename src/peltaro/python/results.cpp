#include "peltaro/python/results.hpp"

#include <optional>
#include <string>
#include <vector>

namespace peltaro::python {
namespace {

// A new list with `make(v)` for each value; null (exception set) when an item
// cannot be made.
template <class T, class Make>
PyObject* list_of(const std::vector<T>& values, Make make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = make(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* float_list(const std::vector<double>& values) {
  return list_of(values, PyFloat_FromDouble);
}

// One list of floats per row.
PyObject* float_rows(const std::vector<std::vector<double>>& rows) {
  return list_of(rows, float_list);
}

PyObject* count_list(const std::vector<std::size_t>& values) {
  return list_of(values, [](std::size_t v) { return PyLong_FromUnsignedLongLong(v); });
}

PyObject* text(const std::string& value) {
  return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* text_list(const std::vector<std::string>& values) { return list_of(values, text); }

PyObject* optional_text(const std::optional<std::string>& value) {
  if (!value) Py_RETURN_NONE;
  return text(*value);
}

// Sets dict[key] = value and releases value; false (exception set) on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

// warnings.warn(text) for each text in order; stops at the first exception.
bool issue_warnings(const std::vector<std::string>& texts) {
  for (const std::string& text : texts) {
    PyObject* module = PyImport_ImportModule("warnings");
    if (module == nullptr) return false;
    PyObject* result = PyObject_CallMethod(module, "warn", "s#", text.data(),
                                           static_cast<Py_ssize_t>(text.size()));
    Py_DECREF(module);
    if (result == nullptr) return false;
    Py_DECREF(result);
  }
  return true;
}

// A new dict filled by `fill(dict)`, which puts its keys in order and may do
// more; null (exception set) when it returns false.
template <class Fill>
PyObject* dict_of(Fill fill) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  if (!fill(dict)) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

}  // namespace

PyObject* fit_result_to_pydict(const estimation::FitResult& fit) {
  return dict_of([&](PyObject* dict) {
    return put(dict, "params", float_list(fit.params)) &&
           put(dict, "loglike", PyFloat_FromDouble(fit.loglike)) &&
           put(dict, "scale", PyFloat_FromDouble(fit.scale)) &&
           put(dict, "aic", PyFloat_FromDouble(fit.aic)) &&
           put(dict, "bic", PyFloat_FromDouble(fit.bic)) &&
           put(dict, "n_obs", PyLong_FromUnsignedLongLong(fit.n_obs)) &&
           put(dict, "n_params", PyLong_FromUnsignedLongLong(fit.n_params)) &&
           put(dict, "n_iter", PyLong_FromUnsignedLongLong(fit.n_iter)) &&
           put(dict, "converged", PyBool_FromLong(fit.converged ? 1 : 0)) &&
           put(dict, "method", text(fit.method)) &&
           put(dict, "warnings", text_list(fit.warnings)) &&
           // Issued once the dict is complete; a warning raised as an error drops it.
           issue_warnings(fit.warnings);
  });
}

PyObject* error_dict(const core::SarimaxError& err, bool fit_item,
                     const core::SarimaxOrder* orders) {
  return dict_of([&](PyObject* dict) {
    if (orders != nullptr && !put_orders(dict, *orders)) return false;
    if (!put(dict, "error", text(err.display()))) return false;
    return !fit_item || PyDict_SetItemString(dict, "converged", Py_False) == 0;
  });
}

bool put_orders(PyObject* dict, const core::SarimaxOrder& o) {
  return put(dict, "order", Py_BuildValue("(KKK)", static_cast<unsigned long long>(o.p),
                                          static_cast<unsigned long long>(o.d),
                                          static_cast<unsigned long long>(o.q))) &&
         put(dict, "seasonal_order",
             Py_BuildValue("(KKKK)", static_cast<unsigned long long>(o.P),
                           static_cast<unsigned long long>(o.D),
                           static_cast<unsigned long long>(o.Q),
                           static_cast<unsigned long long>(o.s)));
}

PyObject* forecast_to_pydict(const apply::forecast::ForecastResult& forecast) {
  return dict_of([&](PyObject* dict) {
    return put(dict, "mean", float_list(forecast.mean)) &&
           put(dict, "variance", float_list(forecast.variance)) &&
           put(dict, "ci_lower", float_list(forecast.ci_lower)) &&
           put(dict, "ci_upper", float_list(forecast.ci_upper));
  });
}

PyObject* rolling_forecast_to_pydict(const apply::RollingForecastOutput& rolling) {
  return dict_of([&](PyObject* dict) {
    return put(dict, "origins", count_list(rolling.origins)) &&
           put(dict, "mean", float_rows(rolling.mean)) &&
           put(dict, "variance", float_rows(rolling.variance)) &&
           put(dict, "ci_lower", float_rows(rolling.ci_lower)) &&
           put(dict, "ci_upper", float_rows(rolling.ci_upper));
  });
}

PyObject* residuals_to_pydict(const apply::ResidualOutput& residuals) {
  return dict_of([&](PyObject* dict) {
    return put(dict, "residuals", float_list(residuals.residuals)) &&
           put(dict, "standardized_residuals", float_list(residuals.standardized_residuals)) &&
           put(dict, "prediction_variances", float_list(residuals.prediction_variances));
  });
}

PyObject* inference_result_to_pydict(const apply::InferenceResult& r) {
  return dict_of([&](PyObject* dict) {
    return put(dict, "method", text(r.method)) &&
           put(dict, "std_err", float_list(r.std_err)) &&
           put(dict, "z_stat", float_list(r.z_stat)) &&
           put(dict, "p_value", float_list(r.p_value)) &&
           put(dict, "ci_lower", float_list(r.ci_lower)) &&
           put(dict, "ci_upper", float_list(r.ci_upper)) &&
           put(dict, "cov_params", float_list(r.cov_params)) &&
           put(dict, "n_params", PyLong_FromSize_t(r.n_params)) &&
           put(dict, "status", text(r.status)) &&
           put(dict, "message", optional_text(r.message));
  });
}

PyObject* diagnostics_result_to_pydict(const apply::DiagnosticsResult& d) {
  return dict_of([&](PyObject* dict) {
    return put(dict, "ljung_box_stat", PyFloat_FromDouble(d.ljung_box_stat)) &&
           put(dict, "ljung_box_pvalue", PyFloat_FromDouble(d.ljung_box_pvalue)) &&
           put(dict, "ljung_box_df", PyLong_FromUnsignedLongLong(d.ljung_box_df)) &&
           put(dict, "jarque_bera_stat", PyFloat_FromDouble(d.jarque_bera_stat)) &&
           put(dict, "jarque_bera_pvalue", PyFloat_FromDouble(d.jarque_bera_pvalue)) &&
           put(dict, "het_stat", PyFloat_FromDouble(d.het_stat)) &&
           put(dict, "het_pvalue", PyFloat_FromDouble(d.het_pvalue));
  });
}

}  // namespace peltaro::python
