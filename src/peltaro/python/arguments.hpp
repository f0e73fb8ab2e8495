#pragma once
// Binding of fast-call arguments to parameters, and one converter per
// argument kind. Every function here runs with the interpreter lock held and
// reports failure by returning false with the Python exception set.
//
// Message rules shared by all converters: a value of the wrong kind raises
// TypeError "argument '<name>': <reason>"; a tuple of the wrong length raises
// ValueError and an integer that does not fit in 64 unsigned bits raises the
// interpreter's OverflowError, both without the argument prefix.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "peltaro/python/numpy_api.hpp"
#include "peltaro/python/validation.hpp"

namespace peltaro::python {

// Parameter list of one exported function: exactly the names of its text
// signature, all positional-or-keyword, the first `n_required` without default.
struct Signature {
  const char* function;
  std::span<const char* const> names;
  std::size_t n_required;
};

// Puts each argument into the slot of its parameter (borrowed references;
// absent parameters keep a null slot). `slots` has one entry per name.
// Raises TypeError naming the function for too many positional arguments,
// an unknown keyword, a parameter given twice or a missing required one.
bool match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, std::span<PyObject*> slots);

// Series array: a NumPy ndarray (or subclass) of native float64 with one
// dimension. The result is a borrowed reference.
bool convert_series_array(PyObject* value, const char* name, PyArrayObject*& out);

// Optional series array: absent or None give null; otherwise as above.
bool convert_optional_series_array(PyObject* value, const char* name, PyArrayObject*& out);

// Optional matrix array: absent or None give null; otherwise an ndarray of
// native float64 with two dimensions and any strides.
bool convert_optional_matrix_array(PyObject* value, const char* name, PyArrayObject*& out);

// Matrix array: an ndarray of native float64 with two dimensions.
bool convert_matrix_array(PyObject* value, const char* name, PyArrayObject*& out);

// Order triple (p, d, q) and seasonal quadruple (P, D, Q, s): a tuple of
// exactly that many non-negative integers.
bool convert_order(PyObject* value, const char* name, std::array<std::uint64_t, 3>& out);
bool convert_seasonal(PyObject* value, const char* name, std::array<std::uint64_t, 4>& out);

// Flag: a Python bool or a NumPy boolean scalar. Absent keeps `out` (the
// default); None and integers are rejected.
bool convert_flag(PyObject* value, const char* name, bool& out);

// Optional count: absent or None give nothing; otherwise a non-negative
// integer of at most 64 bits.
bool convert_optional_count(PyObject* value, const char* name, std::optional<std::uint64_t>& out);

// Count: a non-negative integer of at most 64 bits. Absent keeps `out` (the
// default).
bool convert_count(PyObject* value, const char* name, std::uint64_t& out);

// Probability: a float, or anything the interpreter converts to one (an
// integer too). Absent keeps `out` (the default); the range is checked later.
bool convert_probability(PyObject* value, const char* name, double& out);

// Optional text: absent or None give nothing; otherwise a str.
bool convert_optional_text(PyObject* value, const char* name, std::optional<std::string>& out);

// Text: a str. Absent keeps `out` (the default); None is rejected.
bool convert_text(PyObject* value, const char* name, std::string& out);

// A sequence argument: any sequence except a str (absent or None too for the
// optional ones), read item by item through the iterator protocol. Each item
// is converted as it arrives, so a bad item raises before the rest is read
// (an endless or lying sequence costs nothing before its first bad item), and
// a reference to it is kept, so that later conversions that run Python code
// cannot free it.
class Sequence {
 public:
  Sequence() = default;
  Sequence(const Sequence&) = delete;
  Sequence& operator=(const Sequence&) = delete;
  ~Sequence() {
    for (PyObject* item : items_) Py_DECREF(item);
  }

  [[nodiscard]] bool given() const { return given_; }

  // Reads `value` and calls `take(item)` on each item in order; stops at the
  // first false (exception set). `optional` admits absent or None.
  template <class Take>
  bool read(PyObject* value, const char* name, bool optional, Take take) {
    if (optional && (value == nullptr || value == Py_None)) return true;
    PyObject* iterator = open_sequence(value, name);
    if (iterator == nullptr) return false;
    given_ = true;
    bool ok = true;
    while (ok) {
      PyObject* item = PyIter_Next(iterator);
      if (item == nullptr) {
        ok = !PyErr_Occurred() || fail_reading(name);
        break;
      }
      items_.push_back(item);
      ok = take(item);
    }
    Py_DECREF(iterator);
    return ok;
  }

 private:
  // An iterator over a sequence that is not a str, or null with TypeError.
  static PyObject* open_sequence(PyObject* value, const char* name);
  // Names the parameter in a TypeError raised while iterating; false.
  static bool fail_reading(const char* name);

  std::vector<PyObject*> items_;
  bool given_ = false;
};

// A sequence whose items, in order, go through `convert(item, name, out)`:
// the first failure raises under the sequence's parameter name. `holder`
// keeps the items alive while `out` is used; absent or None leave it empty
// when `optional`.
template <class T, class Convert>
bool convert_list(PyObject* value, const char* name, Convert convert, Sequence& holder,
                  std::vector<T>& out, bool optional = false) {
  out.clear();
  return holder.read(value, name, optional,
                     [&](PyObject* item) { return convert(item, name, out.emplace_back()); });
}

// The elements of a converted series array. An array without elements gives
// the empty span; otherwise the array must be aligned and contiguous, else
// TypeError "The given array is not contiguous or is misaligned.".
//
// Arrays are converted first and read later, and conversions in between may
// run Python code (an `__index__`, a `__float__`) that changes an array's
// dtype or shape in place; both readers therefore check the kind again.
bool slice_series(PyArrayObject* array, std::span<const double>& out);

// Shape and byte strides of a converted matrix array, for the column split.
// False (TypeError set) when the array is no longer a 2-D float64 array.
bool matrix_view(PyArrayObject* array, MatrixView& out);

// The converted arguments shared by the functions that apply a parameter
// vector to one series: borrowed arrays (exog null when absent), the orders,
// the flags and the trend text.
struct ModelArguments {
  PyArrayObject* y = nullptr;
  std::array<std::uint64_t, 3> order{};
  std::array<std::uint64_t, 4> seasonal{};
  PyArrayObject* params = nullptr;
  PyArrayObject* exog = nullptr;
  ModelFlags flags;  // defaults of the text signatures
  std::optional<std::string> trend;
};

// Everything the lock-free part of such a function reads, owned.
struct ModelRequest {
  core::Vec y;
  core::Vec params;
  core::SarimaxConfig config;
  std::optional<core::Columns> exog;

  [[nodiscard]] const core::Columns* columns() const { return exog ? &*exog : nullptr; }
};

// y and then params as slices, the checks of `prepare_single_request`, then
// the copies; the first failure raises and gives nothing.
std::optional<ModelRequest> take_model_request(const ModelArguments& args);

// Everything a batch over a list of series reads, owned: the series, the
// regressor columns of each series when a regressor list is given, and the
// one configuration they share.
struct BatchRequest {
  std::vector<core::Vec> series;
  std::optional<std::vector<core::Columns>> exog;
  core::SarimaxConfig config;

  [[nodiscard]] const std::vector<core::Columns>* exog_list() const {
    return exog ? &*exog : nullptr;
  }
};

// Each series in turn is sliced, checked for finite values and copied; then
// the regressor matrices are checked against the first one's column count
// and their own series' length (in place, copied only when all pass); then
// the model limits and the trend. The first failure raises and gives nothing.
std::optional<BatchRequest> prepare_batch_request(const std::vector<PyArrayObject*>& series,
                                                  const std::array<std::uint64_t, 3>& order,
                                                  const std::array<std::uint64_t, 4>& seasonal,
                                                  const std::vector<PyArrayObject*>* exog_list,
                                                  const ModelFlags& flags,
                                                  const std::optional<std::string>& trend);

// The owned elements of a converted series array, or nothing (exception set)
// when it cannot be sliced.
std::optional<core::Vec> copy_series(PyArrayObject* array);

// Matches and converts the parameter list that sarimax_residuals and
// sarimax_diagnostics share: y, order, seasonal, params, exog,
// concentrate_scale, trend, simple_differencing, enforce_stationarity,
// enforce_invertibility (four required). `function` names the caller in the
// matcher's messages.
bool convert_residual_arguments(const char* function, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames, ModelArguments& out);

}  // namespace peltaro::python
