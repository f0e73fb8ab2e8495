#pragma once
// The interpreter and NumPy headers, included the same way by every file of
// the extension: one table of NumPy entry points shared by all translation
// units, filled by the module's execution step (the file that defines
// PELTARO_NUMPY_IMPORT_HERE before including this header).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL peltaro_ARRAY_API
#ifndef PELTARO_NUMPY_IMPORT_HERE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
