#pragma once
// Method records of the exported functions, one per function file. Each
// record's doc is the text signature, "\n--\n\n", then the docstring, from
// which the interpreter derives __text_signature__ and __doc__.

#include "peltaro/python/errors.hpp"
#include "peltaro/python/numpy_api.hpp"

namespace peltaro::python {

// Fast-call entries are stored in PyMethodDef's generic slot.
template <class Fn>
PyCFunction as_method(Fn* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// The fast-call entry of an exported function: its body, which matches,
// converts and computes, under fault isolation.
template <PyObject* (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fastcall_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
  return isolate_faults([&] { return Body(args, nargsf, kwnames); });
}

extern PyMethodDef version_def;
extern PyMethodDef sarimax_loglike_def;
extern PyMethodDef sarimax_fit_def;
extern PyMethodDef sarimax_forecast_def;
extern PyMethodDef sarimax_rolling_forecast_def;
extern PyMethodDef sarimax_residuals_def;
extern PyMethodDef sarimax_batch_loglike_def;
extern PyMethodDef sarimax_batch_fit_def;
extern PyMethodDef sarimax_grid_search_def;
extern PyMethodDef sarimax_batch_forecast_def;
extern PyMethodDef sarimax_inference_def;
extern PyMethodDef sarimax_diagnostics_def;

}  // namespace peltaro::python
