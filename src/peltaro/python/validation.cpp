#include "peltaro/python/validation.hpp"

#include <cmath>
#include <cstring>

#include "peltaro/core/error.hpp"

namespace peltaro::python {

namespace {

// Largest orders the state-space builder is asked to handle. Within these the
// state count cannot overflow, so its own limit is checked last.
constexpr std::uint64_t MAX_P = 20;
constexpr std::uint64_t MAX_Q = 20;
constexpr std::uint64_t MAX_D = 3;
constexpr std::uint64_t MAX_SEASONAL_P = 4;
constexpr std::uint64_t MAX_SEASONAL_Q = 4;
constexpr std::uint64_t MAX_SEASONAL_D = 2;
constexpr std::uint64_t MAX_PERIOD = 365;
constexpr std::uint64_t MAX_EXOG = 100;
constexpr std::uint64_t MAX_STATES = 1024;

std::string exceeds(const char* what, std::uint64_t value, std::uint64_t limit) {
  return std::string(what) + "=" + std::to_string(value) + " exceeds maximum " +
         std::to_string(limit);
}

}  // namespace

Checked<core::Trend> parse_trend(const std::optional<std::string>& trend) {
  if (!trend || *trend == "n") return core::Trend::None;
  if (*trend == "c") return core::Trend::Constant;
  if (*trend == "t") return core::Trend::Linear;
  if (*trend == "ct" || *trend == "tc") return core::Trend::ConstantLinear;
  return std::unexpected("unknown trend '" + *trend + "', expected one of: 'n', 'c', 't', 'ct'");
}

std::optional<std::string> validate_alpha(double alpha) {
  if (alpha > 0.0 && alpha < 1.0) return std::nullopt;  // false for NaN
  return "alpha must be in (0, 1), got " + core::format_double(alpha);
}

std::optional<std::string> validate_order(const core::SarimaxOrder& o, std::uint64_t n_exog) {
  if (o.p > MAX_P) return exceeds("AR order p", o.p, MAX_P);
  if (o.q > MAX_Q) return exceeds("MA order q", o.q, MAX_Q);
  if (o.d > MAX_D) return exceeds("differencing order d", o.d, MAX_D);
  if (o.P > MAX_SEASONAL_P) return exceeds("seasonal AR order P", o.P, MAX_SEASONAL_P);
  if (o.Q > MAX_SEASONAL_Q) return exceeds("seasonal MA order Q", o.Q, MAX_SEASONAL_Q);
  if (o.D > MAX_SEASONAL_D) return exceeds("seasonal differencing D", o.D, MAX_SEASONAL_D);
  if (o.s > MAX_PERIOD) return exceeds("seasonal period s", o.s, MAX_PERIOD);
  if (n_exog > MAX_EXOG) return exceeds("n_exog", n_exog, MAX_EXOG);
  if ((o.P > 0 || o.D > 0 || o.Q > 0) && o.s < 2) {
    return std::string("seasonal order (P,D,Q) > 0 requires seasonal period s >= 2");
  }
  const std::uint64_t k_states = o.k_states();
  if (k_states > MAX_STATES) {
    return "model too large: k_states=" + std::to_string(k_states) + " exceeds limit " +
           std::to_string(MAX_STATES);
  }
  return std::nullopt;
}

std::optional<std::string> validate_finite_cols(const core::Columns& columns,
                                                std::string_view label) {
  for (std::size_t j = 0; j < columns.size(); ++j) {
    const core::Vec& column = columns[j];
    for (std::size_t i = 0; i < column.size(); ++i) {
      if (!std::isfinite(column[i])) {
        return std::string(label) + " contains NaN or Inf at column " + std::to_string(j) +
               ", row " + std::to_string(i);
      }
    }
  }
  return std::nullopt;
}

core::Columns numpy2d_to_cols(const MatrixView& m) {
  core::Columns columns(m.cols, core::Vec(m.rows));
  for (std::size_t j = 0; j < m.cols; ++j) {
    const char* column_base = m.data + static_cast<std::ptrdiff_t>(j) * m.col_stride;
    core::Vec& column = columns[j];
    for (std::size_t i = 0; i < m.rows; ++i) {
      // memcpy: a strided view over a byte buffer may sit at any address.
      std::memcpy(&column[i], column_base + static_cast<std::ptrdiff_t>(i) * m.row_stride,
                  sizeof(double));
    }
  }
  return columns;
}

Checked<SingleInputs> validate_single_inputs(std::span<const double> y, const MatrixView* exog) {
  for (double v : y) {
    if (!std::isfinite(v)) {
      return std::unexpected(std::string("input time series contains NaN or Inf values"));
    }
  }
  if (exog == nullptr) return SingleInputs{};
  core::Columns columns = numpy2d_to_cols(*exog);
  if (auto err = validate_finite_cols(columns, "exog")) return std::unexpected(std::move(*err));
  if (exog->rows != y.size()) {
    return std::unexpected("exog has " + std::to_string(exog->rows) + " rows but endog has " +
                           std::to_string(y.size()) + " observations; they must match");
  }
  const std::uint64_t n_exog = columns.size();
  return SingleInputs{.exog = std::move(columns), .n_exog = n_exog};
}

Checked<SingleRequest> prepare_single_request(std::span<const double> y,
                                              const std::array<std::uint64_t, 3>& order,
                                              const std::array<std::uint64_t, 4>& seasonal,
                                              const MatrixView* exog, const ModelFlags& flags,
                                              const std::optional<std::string>& trend) {
  auto inputs = validate_single_inputs(y, exog);
  if (!inputs) return std::unexpected(std::move(inputs.error()));
  const core::SarimaxOrder sarimax_order{.p = order[0],
                                         .d = order[1],
                                         .q = order[2],
                                         .P = seasonal[0],
                                         .D = seasonal[1],
                                         .Q = seasonal[2],
                                         .s = seasonal[3]};
  if (auto err = validate_order(sarimax_order, inputs->n_exog)) {
    return std::unexpected(std::move(*err));
  }
  auto trend_code = parse_trend(trend);
  if (!trend_code) return std::unexpected(std::move(trend_code.error()));
  SingleRequest request;
  request.config = core::SarimaxConfig{.order = sarimax_order,
                                       .n_exog = inputs->n_exog,
                                       .trend = *trend_code,
                                       .enforce_stationarity = flags.enforce_stationarity,
                                       .enforce_invertibility = flags.enforce_invertibility,
                                       .concentrate_scale = flags.concentrate_scale,
                                       .simple_differencing = flags.simple_differencing};
  request.exog = std::move(inputs->exog);
  return request;
}

}  // namespace peltaro::python
