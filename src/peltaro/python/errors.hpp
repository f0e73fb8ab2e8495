#pragma once
// The only places where the extension raises: argument checks (ValueError
// texts), errors of the numerical core (`to_pyerr`) and unexpected C++
// faults (the panic exception).

#include <exception>
#include <new>
#include <string>

#include "peltaro/core/error.hpp"
#include "peltaro/python/numpy_api.hpp"

namespace peltaro::python {

// Raises the core error as ValueError, or RuntimeError for a failed Cholesky
// test or optimisation, with its display text as the only argument.
// Returns null so that callers can `return to_pyerr(...)`.
PyObject* to_pyerr(core::SarimaxError err);

// Raises ValueError with the given text; returns null.
PyObject* raise_value_error(const std::string& text);

// Raises the panic exception: derived from BaseException, so `except
// Exception` does not swallow a fault of the extension itself. The type is
// made on first use and never placed in the module namespace. Returns null.
PyObject* raise_panic(const char* message) noexcept;

// Runs the body of an exported function; a C++ exception escaping it becomes
// the panic exception instead of unwinding into the interpreter. Running out
// of memory (an input far too large for the machine) is reported as
// MemoryError rather than ending the interpreter.
template <class Body>
PyObject* isolate_faults(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("unknown C++ exception");
  }
}

}  // namespace peltaro::python
