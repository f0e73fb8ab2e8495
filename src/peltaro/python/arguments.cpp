#include "peltaro/python/arguments.hpp"

#include <cmath>
#include <string_view>
#include <utility>
#include <vector>

#include "peltaro/python/errors.hpp"

namespace peltaro::python {

namespace {

// The pending exception as one normalised object (null if none), cleared.
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Raises `exception` again; steals the reference.
void restore_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// Replaces a pending TypeError (subclasses included) by a TypeError that
// names the parameter, chained to the original; other exceptions pass
// unchanged.
void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* original = take_exception();
  PyObject* reason = original != nullptr ? PyObject_Str(original) : nullptr;
  if (reason == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': <unprintable error>", name);
    Py_XDECREF(original);
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, reason);
  Py_DECREF(reason);
  PyObject* renamed = take_exception();
  PyException_SetCause(renamed, original);  // steals `original`
  restore_exception(renamed);
}

bool fail_with_prefix(const char* name) {
  prefix_type_error(name);
  return false;
}

bool cannot_convert(PyObject* value, const char* name, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", name,
               Py_TYPE(value)->tp_name, target);
  return false;
}

// An ndarray of native-order float64 with `ndim` dimensions.
bool convert_float64_array(PyObject* value, const char* name, int ndim, PyArrayObject*& out) {
  if (!PyArray_Check(value)) return cannot_convert(value, name, "numpy.ndarray");
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  PyArray_Descr* expected = PyArray_DescrFromType(NPY_DOUBLE);
  if (expected == nullptr) return false;
  const bool same_type = PyArray_EquivTypes(PyArray_DESCR(array), expected) != 0;
  Py_DECREF(expected);
  if (!same_type) {
    PyObject* given = PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    if (given == nullptr) return fail_with_prefix(name);
    PyErr_Format(PyExc_TypeError, "argument '%s': type mismatch: from=%U, to=float64", name,
                 given);
    Py_DECREF(given);
    return false;
  }
  if (PyArray_NDIM(array) != ndim) {
    PyErr_Format(PyExc_TypeError, "argument '%s': dimensionality mismatch: from=%d, to=%d", name,
                 PyArray_NDIM(array), ndim);
    return false;
  }
  out = array;
  return true;
}

// Whether a converted array still has the kind it was converted as; raises
// TypeError when not.
bool still_float64(PyArrayObject* array, int ndim) {
  PyArray_Descr* expected = PyArray_DescrFromType(NPY_DOUBLE);
  if (expected == nullptr) return false;
  const bool same = PyArray_EquivTypes(PyArray_DESCR(array), expected) != 0 &&
                    PyArray_NDIM(array) == ndim;
  Py_DECREF(expected);
  if (!same) {
    PyErr_SetString(PyExc_TypeError, "an array argument changed while the arguments were read");
  }
  return same;
}

// A non-negative integer of at most 64 bits, through the index protocol.
// Wrong kinds raise TypeError, negative or wider values OverflowError.
bool convert_u64(PyObject* value, std::uint64_t& out) {
  PyObject* index = PyNumber_Index(value);
  if (index == nullptr) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = static_cast<std::uint64_t>(v);
  return true;
}

template <std::size_t N>
bool convert_u64_tuple(PyObject* value, const char* name, std::array<std::uint64_t, N>& out) {
  if (!PyTuple_Check(value)) return cannot_convert(value, name, "tuple");
  const Py_ssize_t len = PyTuple_GET_SIZE(value);
  if (len != static_cast<Py_ssize_t>(N)) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length %zu, but got tuple of length %zd", N,
                 len);
    return false;
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (!convert_u64(PyTuple_GET_ITEM(value, static_cast<Py_ssize_t>(i)), out[i])) {
      return fail_with_prefix(name);
    }
  }
  return true;
}

// NumPy's boolean scalar ("numpy.bool_" before NumPy 2, "numpy.bool" since),
// by its type object: a class that only borrows the name is no flag.
bool is_numpy_bool(PyObject* value) { return PyArray_IsScalar(value, Bool); }

void append_quoted_names(std::string& out, const std::vector<const char*>& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
    out += '\'';
    out += names[i];
    out += '\'';
  }
}

bool keyword_equals(PyObject* keyword, const char* name) {
  if (!PyUnicode_Check(keyword)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();  // a keyword that cannot be encoded matches no parameter
    return false;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size)) == name;
}

}  // namespace

bool match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t n_params = signature.names.size();
  const auto n_positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  for (PyObject*& slot : slots) slot = nullptr;

  if (n_positional > n_params) {
    std::string range = signature.n_required == n_params
                            ? std::to_string(n_params)
                            : "from " + std::to_string(signature.n_required) + " to " +
                                  std::to_string(n_params);
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zu %s given",
                 signature.function, range.c_str(), n_params == 1 ? "" : "s", n_positional,
                 n_positional == 1 ? "was" : "were");
    return false;
  }
  for (std::size_t i = 0; i < n_positional; ++i) slots[i] = args[i];

  const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = n_params;
    for (std::size_t i = 0; i < n_params; ++i) {
      if (keyword_equals(keyword, signature.names[i])) {
        index = i;
        break;
      }
    }
    if (index == n_params) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                   signature.function, keyword);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   signature.function, signature.names[index]);
      return false;
    }
    slots[index] = args[n_positional + static_cast<std::size_t>(k)];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.n_required; ++i) {
    if (slots[i] == nullptr) missing.push_back(signature.names[i]);
  }
  if (!missing.empty()) {
    std::string text = std::string(signature.function) + "() missing " +
                       std::to_string(missing.size()) + " required positional argument" +
                       (missing.size() == 1 ? "" : "s") + ": ";
    append_quoted_names(text, missing);
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
  }
  return true;
}

bool convert_series_array(PyObject* value, const char* name, PyArrayObject*& out) {
  return convert_float64_array(value, name, 1, out);
}

bool convert_optional_series_array(PyObject* value, const char* name, PyArrayObject*& out) {
  out = nullptr;
  if (value == nullptr || value == Py_None) return true;
  return convert_float64_array(value, name, 1, out);
}

bool convert_optional_matrix_array(PyObject* value, const char* name, PyArrayObject*& out) {
  out = nullptr;
  if (value == nullptr || value == Py_None) return true;
  return convert_float64_array(value, name, 2, out);
}

bool convert_matrix_array(PyObject* value, const char* name, PyArrayObject*& out) {
  return convert_float64_array(value, name, 2, out);
}

bool convert_order(PyObject* value, const char* name, std::array<std::uint64_t, 3>& out) {
  return convert_u64_tuple(value, name, out);
}

bool convert_seasonal(PyObject* value, const char* name, std::array<std::uint64_t, 4>& out) {
  return convert_u64_tuple(value, name, out);
}

bool convert_flag(PyObject* value, const char* name, bool& out) {
  if (value == nullptr) return true;
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  if (is_numpy_bool(value)) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) return cannot_convert(value, name, "bool");
    const int truth = number->nb_bool(value);
    if (truth < 0) return fail_with_prefix(name);
    out = truth != 0;
    return true;
  }
  return cannot_convert(value, name, "bool");
}

bool convert_optional_count(PyObject* value, const char* name, std::optional<std::uint64_t>& out) {
  out.reset();
  if (value == nullptr || value == Py_None) return true;
  std::uint64_t count = 0;
  if (!convert_u64(value, count)) return fail_with_prefix(name);
  out = count;
  return true;
}

bool convert_count(PyObject* value, const char* name, std::uint64_t& out) {
  if (value == nullptr) return true;
  if (!convert_u64(value, out)) return fail_with_prefix(name);
  return true;
}

bool convert_probability(PyObject* value, const char* name, double& out) {
  if (value == nullptr) return true;
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) return fail_with_prefix(name);
  out = v;
  return true;
}

bool convert_optional_text(PyObject* value, const char* name, std::optional<std::string>& out) {
  out.reset();
  if (value == nullptr || value == Py_None) return true;
  std::string text;
  if (!convert_text(value, name, text)) return false;
  out = std::move(text);
  return true;
}

bool convert_text(PyObject* value, const char* name, std::string& out) {
  if (value == nullptr) return true;
  if (!PyUnicode_Check(value)) return cannot_convert(value, name, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return fail_with_prefix(name);
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool slice_series(PyArrayObject* array, std::span<const double>& out) {
  if (!still_float64(array, 1)) return false;
  const npy_intp size = PyArray_SIZE(array);
  if (size == 0) {
    out = {};
    return true;
  }
  const int flags = PyArray_FLAGS(array);
  const bool aligned = (flags & NPY_ARRAY_ALIGNED) != 0;
  const bool contiguous = (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
  const void* data = PyArray_DATA(array);
  if (!aligned || !contiguous || data == nullptr) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
  }
  out = std::span<const double>(static_cast<const double*>(data), static_cast<std::size_t>(size));
  return true;
}

bool matrix_view(PyArrayObject* array, MatrixView& out) {
  if (!still_float64(array, 2)) return false;
  out = MatrixView{
      .data = static_cast<const char*>(PyArray_DATA(array)),
      .rows = static_cast<std::size_t>(PyArray_DIM(array, 0)),
      .cols = static_cast<std::size_t>(PyArray_DIM(array, 1)),
      .row_stride = static_cast<std::ptrdiff_t>(PyArray_STRIDE(array, 0)),
      .col_stride = static_cast<std::ptrdiff_t>(PyArray_STRIDE(array, 1)),
  };
  return true;
}

PyObject* Sequence::open_sequence(PyObject* value, const char* name) {
  if (PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    return nullptr;
  }
  if (!PySequence_Check(value)) {
    cannot_convert(value, name, "Sequence");
    return nullptr;
  }
  PyObject* iterator = PyObject_GetIter(value);
  if (iterator == nullptr) fail_with_prefix(name);
  return iterator;
}

bool Sequence::fail_reading(const char* name) { return fail_with_prefix(name); }

std::optional<core::Vec> copy_series(PyArrayObject* array) {
  std::span<const double> values;
  if (!slice_series(array, values)) return std::nullopt;
  return core::Vec(values.begin(), values.end());
}

std::optional<BatchRequest> prepare_batch_request(const std::vector<PyArrayObject*>& series,
                                                  const std::array<std::uint64_t, 3>& order,
                                                  const std::array<std::uint64_t, 4>& seasonal,
                                                  const std::vector<PyArrayObject*>* exog_list,
                                                  const ModelFlags& flags,
                                                  const std::optional<std::string>& trend) {
  BatchRequest request;
  request.series.reserve(series.size());
  for (std::size_t i = 0; i < series.size(); ++i) {
    std::span<const double> values;
    if (!slice_series(series[i], values)) return std::nullopt;
    for (double v : values) {
      if (!std::isfinite(v)) {
        raise_value_error("input time series at index " + std::to_string(i) +
                          " contains NaN or Inf values");
        return std::nullopt;
      }
    }
    request.series.emplace_back(values.begin(), values.end());
  }

  std::uint64_t n_exog = 0;
  if (exog_list != nullptr) {
    if (exog_list->size() != series.size()) {
      raise_value_error("exog_list length (" + std::to_string(exog_list->size()) +
                        ") must match series_list length (" + std::to_string(series.size()) +
                        ")");
      return std::nullopt;
    }
    std::vector<MatrixView> views;
    views.reserve(exog_list->size());
    for (PyArrayObject* matrix : *exog_list) {
      if (!matrix_view(matrix, views.emplace_back())) return std::nullopt;
    }
    if (!views.empty()) n_exog = views[0].cols;
    for (std::size_t i = 0; i < views.size(); ++i) {
      const std::string label = "exog_list[" + std::to_string(i) + "]";
      std::optional<std::string> err = validate_finite_view(views[i], label);
      if (!err && views[i].cols != n_exog) {
        err = "exog at index " + std::to_string(i) + " has " + std::to_string(views[i].cols) +
              " columns but expected " + std::to_string(n_exog) + " (from first series)";
      }
      if (!err && views[i].rows != request.series[i].size()) {
        err = label + " has " + std::to_string(views[i].rows) + " rows but series[" +
              std::to_string(i) + "] has " + std::to_string(request.series[i].size()) +
              " observations; they must match";
      }
      if (err) {
        raise_value_error(*err);
        return std::nullopt;
      }
    }
    request.exog.emplace();
    request.exog->reserve(views.size());
    for (const MatrixView& view : views) request.exog->push_back(numpy2d_to_cols(view));
  }

  const core::SarimaxOrder sarimax_order = make_order(order, seasonal);
  if (auto err = validate_order(sarimax_order, n_exog)) {
    raise_value_error(*err);
    return std::nullopt;
  }
  auto trend_code = parse_trend(trend);
  if (!trend_code) {
    raise_value_error(trend_code.error());
    return std::nullopt;
  }
  request.config = make_config(sarimax_order, n_exog, *trend_code, flags);
  return request;
}

std::optional<ModelRequest> take_model_request(const ModelArguments& args) {
  std::span<const double> y;
  std::span<const double> params;
  if (!slice_series(args.y, y) || !slice_series(args.params, params)) return std::nullopt;
  std::optional<MatrixView> exog_view;
  if (args.exog != nullptr && !matrix_view(args.exog, exog_view.emplace())) return std::nullopt;
  auto request = prepare_single_request(y, args.order, args.seasonal,
                                        exog_view ? &*exog_view : nullptr, args.flags, args.trend);
  if (!request) {
    raise_value_error(request.error());
    return std::nullopt;
  }
  return ModelRequest{.y = core::Vec(y.begin(), y.end()),
                      .params = core::Vec(params.begin(), params.end()),
                      .config = request->config,
                      .exog = std::move(request->exog)};
}

bool convert_residual_arguments(const char* function, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames, ModelArguments& out) {
  static constexpr const char* NAMES[] = {
      "y",     "order",          "seasonal", "params", "exog", "concentrate_scale",
      "trend", "simple_differencing", "enforce_stationarity", "enforce_invertibility",
  };
  std::array<PyObject*, std::size(NAMES)> slots{};
  return match_arguments(Signature{function, NAMES, 4}, args, nargsf, kwnames, slots) &&
         convert_series_array(slots[0], "y", out.y) &&
         convert_order(slots[1], "order", out.order) &&
         convert_seasonal(slots[2], "seasonal", out.seasonal) &&
         convert_series_array(slots[3], "params", out.params) &&
         convert_optional_matrix_array(slots[4], "exog", out.exog) &&
         convert_flag(slots[5], "concentrate_scale", out.flags.concentrate_scale) &&
         convert_optional_text(slots[6], "trend", out.trend) &&
         convert_flag(slots[7], "simple_differencing", out.flags.simple_differencing) &&
         convert_flag(slots[8], "enforce_stationarity", out.flags.enforce_stationarity) &&
         convert_flag(slots[9], "enforce_invertibility", out.flags.enforce_invertibility);
}

}  // namespace peltaro::python
