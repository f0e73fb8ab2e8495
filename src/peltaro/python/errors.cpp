#include "peltaro/python/errors.hpp"

#include <cstring>

namespace peltaro::python {

namespace {

PyObject* panic_exception_type() {
  // Only touched with the interpreter lock held (errors are raised under it).
  // Kept for the life of the process; a failed creation is retried next time.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "peltaro.PanicException",
        "An unexpected fault inside peltaro's native code (not a problem with the arguments).",
        PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

PyObject* to_pyerr(core::SarimaxError err) {
  using Kind = core::SarimaxError::Kind;
  const std::string text = err.display();
  PyObject* type = (err.kind() == Kind::CholeskyFailed || err.kind() == Kind::OptimizationFailed)
                       ? PyExc_RuntimeError
                       : PyExc_ValueError;
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

PyObject* raise_value_error(const std::string& text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
  return nullptr;
}

PyObject* raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;  // creating the type failed; that error is pending
  PyObject* text =
      PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace peltaro::python
