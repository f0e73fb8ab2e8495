// The module definition and its execution step: the extension's only
// exported symbol is PyInit_peltaro.

#define PELTARO_NUMPY_IMPORT_HERE
#include "peltaro/python/numpy_api.hpp"

#include "peltaro/python/errors.hpp"
#include "peltaro/python/functions.hpp"

namespace peltaro::python {

namespace {

PyObject* version(PyObject* /*module*/, PyObject* /*unused*/) {
  return isolate_faults([] { return PyUnicode_FromString(PELTARO_VERSION); });
}

// Functions are added in this order; `__all__` lists them in the same order.
PyMethodDef* const REGISTRATION_ORDER[] = {
    &version_def,
    &sarimax_loglike_def,
    &sarimax_fit_def,
    &sarimax_forecast_def,
    &sarimax_rolling_forecast_def,
    &sarimax_residuals_def,
    &sarimax_batch_loglike_def,
    &sarimax_batch_fit_def,
    &sarimax_grid_search_def,
    &sarimax_batch_forecast_def,
    &sarimax_inference_def,
    &sarimax_diagnostics_def,
};

// The module's `__all__`, created as an empty list when the module has none.
PyObject* module_index(PyObject* module) {
  PyObject* index = PyObject_GetAttrString(module, "__all__");
  if (index != nullptr) {
    if (PyList_Check(index)) return index;
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'list'",
                 Py_TYPE(index)->tp_name);
    Py_DECREF(index);
    return nullptr;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  index = PyList_New(0);
  if (index == nullptr) return nullptr;
  if (PyObject_SetAttrString(module, "__all__", index) < 0) {
    Py_DECREF(index);
    return nullptr;
  }
  return index;
}

// Binds the record to the module (so `__module__` is the module's name and
// no self argument reaches the entry), lists it in `__all__` and sets it as
// the attribute of its own `__name__`.
int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyObject* function = PyCFunction_NewEx(def, module, module_name);
  if (function == nullptr) return -1;
  PyObject* name = PyObject_GetAttrString(function, "__name__");
  if (name == nullptr) {
    Py_DECREF(function);
    return -1;
  }
  int status = -1;
  PyObject* index = module_index(module);
  if (index != nullptr) {
    if (PyList_Append(index, name) < 0) {
      raise_panic("could not append __name__ to __all__");
    } else {
      status = PyObject_SetAttr(module, name, function);
    }
    Py_DECREF(index);
  }
  Py_DECREF(name);
  Py_DECREF(function);
  return status;
}

int exec_module(PyObject* module) {
  if (module == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return -1;
  }
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  int status = 0;
  for (PyMethodDef* def : REGISTRATION_ORDER) {
    if (add_function(module, module_name, def) < 0) {
      status = -1;
      break;
    }
  }
  Py_DECREF(module_name);
  return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "peltaro",
    "Python module definition.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMethodDef version_def = {
    "version",
    version,
    METH_NOARGS | METH_STATIC,
    "version()\n--\n\n"
    "Smoke-test function: returns the version string.",
};

}  // namespace peltaro::python

PyMODINIT_FUNC PyInit_peltaro(void) { return PyModuleDef_Init(&peltaro::python::module_def); }
