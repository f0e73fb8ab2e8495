#pragma once
// Releases the interpreter lock for the lifetime of the guard. The lock is
// retaken on every way out of the scope, exceptions included, so the fault
// handler of the exported function always runs with the lock held.

#include "peltaro/python/numpy_api.hpp"

namespace peltaro::python {

class AllowThreads {
 public:
  AllowThreads() : state_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace peltaro::python
