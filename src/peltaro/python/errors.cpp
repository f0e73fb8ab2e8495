#include "peltaro/python/errors.hpp"

#include <atomic>
#include <cstring>

namespace peltaro::python {

namespace {

PyObject* panic_exception_type() {
  // Kept for the life of the process; a failed creation is retried next time.
  // The module runs without the interpreter lock on free-threaded builds, so
  // two threads may race to create the type: the loser drops its copy.
  static std::atomic<PyObject*> type{nullptr};
  PyObject* current = type.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  PyObject* made = PyErr_NewExceptionWithDoc(
      "peltaro.PanicException",
      "An unexpected fault inside peltaro's native code (not a problem with the arguments).",
      PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  if (!type.compare_exchange_strong(current, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return current;
  }
  return made;
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
