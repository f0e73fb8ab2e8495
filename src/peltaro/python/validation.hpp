#pragma once
// Checks shared by the exported functions, run with the interpreter lock held
// before any numerical work. They touch no Python object: failures come back
// as the text of the ValueError the caller raises.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "peltaro/core/types.hpp"

namespace peltaro::python {

// Either a value or the message of a ValueError.
template <class T>
using Checked = std::expected<T, std::string>;

// A two-dimensional float64 array as NumPy lays it out: element (i, j) is the
// double at data + i·row_stride + j·col_stride (byte strides of any sign; the
// address need not be aligned).
struct MatrixView {
  const char* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;
};

// The four flags every single-series function forwards into its configuration.
struct ModelFlags {
  bool concentrate_scale = false;
  bool enforce_stationarity = true;
  bool enforce_invertibility = true;
  bool simple_differencing = false;
};

// The model orders of an order triple and a seasonal quadruple.
core::SarimaxOrder make_order(const std::array<std::uint64_t, 3>& order,
                              const std::array<std::uint64_t, 4>& seasonal);

// The configuration of checked orders, regressor count, trend and flags.
core::SarimaxConfig make_config(const core::SarimaxOrder& order, std::uint64_t n_exog,
                                core::Trend trend, const ModelFlags& flags);

// Absent or "n" → none, "c" → constant, "t" → linear, "ct" or "tc" → both.
Checked<core::Trend> parse_trend(const std::optional<std::string>& trend);

// Nothing when 0 < alpha < 1; otherwise the message (NaN included).
std::optional<std::string> validate_alpha(double alpha);

// Nothing when at most 10000 forecast steps are asked for; otherwise the
// message.
std::optional<std::string> validate_steps(std::uint64_t steps);

// The model limits, checked in a fixed order so the first violated one is
// reported; see the table in the implementation.
std::optional<std::string> validate_order(const core::SarimaxOrder& order, std::uint64_t n_exog);

// The first non-finite value, scanning column by column from row 0.
std::optional<std::string> validate_finite_cols(const core::Columns& columns,
                                                std::string_view label);

// The same scan over a caller's matrix, read in place.
std::optional<std::string> validate_finite_view(const MatrixView& matrix, std::string_view label);

// One owned vector per column, column j holding (0, j), (1, j), … in row order.
core::Columns numpy2d_to_cols(const MatrixView& matrix);

// Finite series, then (when given) finite regressors with one row per
// observation; a non-finite regressor is reported before a row mismatch.
// Gives the number of regressor columns; copies nothing.
Checked<std::uint64_t> validate_single_inputs(std::span<const double> y, const MatrixView* exog);

struct SingleRequest {
  core::SarimaxConfig config;
  std::optional<core::Columns> exog;
};

// All checks of one single-series call, and the configuration they allow.
Checked<SingleRequest> prepare_single_request(std::span<const double> y,
                                              const std::array<std::uint64_t, 3>& order,
                                              const std::array<std::uint64_t, 4>& seasonal,
                                              const MatrixView* exog, const ModelFlags& flags,
                                              const std::optional<std::string>& trend);

}  // namespace peltaro::python
