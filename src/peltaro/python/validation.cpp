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
constexpr std::uint64_t MAX_STEPS = 10000;

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

std::optional<std::string> validate_steps(std::uint64_t steps) {
  if (steps <= MAX_STEPS) return std::nullopt;
  return "steps must be <= " + std::to_string(MAX_STEPS) + ", got " + std::to_string(steps);
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

namespace {

// The first non-finite value, scanning column by column from row 0;
// `rows(j)` is the length of column j and `at(j, i)` reads its row i.
template <class Rows, class At>
std::optional<std::string> first_non_finite(std::size_t cols, Rows rows, At at,
                                            std::string_view label) {
  for (std::size_t j = 0; j < cols; ++j) {
    const std::size_t n = rows(j);
    for (std::size_t i = 0; i < n; ++i) {
      if (!std::isfinite(at(j, i))) {
        return std::string(label) + " contains NaN or Inf at column " + std::to_string(j) +
               ", row " + std::to_string(i);
      }
    }
  }
  return std::nullopt;
}

double read(const MatrixView& m, std::size_t i, std::size_t j) {
  double v;
  // memcpy: a strided view over a byte buffer may sit at any address.
  std::memcpy(&v,
              m.data + static_cast<std::ptrdiff_t>(i) * m.row_stride +
                  static_cast<std::ptrdiff_t>(j) * m.col_stride,
              sizeof(double));
  return v;
}

}  // namespace

std::optional<std::string> validate_finite_cols(const core::Columns& columns,
                                                std::string_view label) {
  return first_non_finite(
      columns.size(), [&](std::size_t j) { return columns[j].size(); },
      [&](std::size_t j, std::size_t i) { return columns[j][i]; }, label);
}

std::optional<std::string> validate_finite_view(const MatrixView& m, std::string_view label) {
  return first_non_finite(
      m.cols, [&](std::size_t) { return m.rows; },
      [&](std::size_t j, std::size_t i) { return read(m, i, j); }, label);
}

core::Columns numpy2d_to_cols(const MatrixView& m) {
  core::Columns columns(m.cols, core::Vec(m.rows));
  for (std::size_t j = 0; j < m.cols; ++j) {
    for (std::size_t i = 0; i < m.rows; ++i) columns[j][i] = read(m, i, j);
  }
  return columns;
}

core::SarimaxOrder make_order(const std::array<std::uint64_t, 3>& order,
                              const std::array<std::uint64_t, 4>& seasonal) {
  return core::SarimaxOrder{.p = order[0],
                            .d = order[1],
                            .q = order[2],
                            .P = seasonal[0],
                            .D = seasonal[1],
                            .Q = seasonal[2],
                            .s = seasonal[3]};
}

core::SarimaxConfig make_config(const core::SarimaxOrder& order, std::uint64_t n_exog,
                                core::Trend trend, const ModelFlags& flags) {
  return core::SarimaxConfig{.order = order,
                             .n_exog = n_exog,
                             .trend = trend,
                             .enforce_stationarity = flags.enforce_stationarity,
                             .enforce_invertibility = flags.enforce_invertibility,
                             .concentrate_scale = flags.concentrate_scale,
                             .simple_differencing = flags.simple_differencing};
}

Checked<std::uint64_t> validate_single_inputs(std::span<const double> y, const MatrixView* exog) {
  for (double v : y) {
    if (!std::isfinite(v)) {
      return std::unexpected(std::string("input time series contains NaN or Inf values"));
    }
  }
  if (exog == nullptr) return 0;
  // Checked on the caller's buffer: nothing is copied until every check of
  // the call has passed, so a huge (or broadcast) view costs no memory.
  if (auto err = validate_finite_view(*exog, "exog")) return std::unexpected(std::move(*err));
  if (exog->rows != y.size()) {
    return std::unexpected("exog has " + std::to_string(exog->rows) + " rows but endog has " +
                           std::to_string(y.size()) + " observations; they must match");
  }
  return exog->cols;
}

Checked<SingleRequest> prepare_single_request(std::span<const double> y,
                                              const std::array<std::uint64_t, 3>& order,
                                              const std::array<std::uint64_t, 4>& seasonal,
                                              const MatrixView* exog, const ModelFlags& flags,
                                              const std::optional<std::string>& trend) {
  auto n_exog = validate_single_inputs(y, exog);
  if (!n_exog) return std::unexpected(std::move(n_exog.error()));
  const core::SarimaxOrder sarimax_order = make_order(order, seasonal);
  if (auto err = validate_order(sarimax_order, *n_exog)) {
    return std::unexpected(std::move(*err));
  }
  auto trend_code = parse_trend(trend);
  if (!trend_code) return std::unexpected(std::move(trend_code.error()));
  SingleRequest request;
  request.config = make_config(sarimax_order, *n_exog, *trend_code, flags);
  if (exog != nullptr) request.exog = numpy2d_to_cols(*exog);
  return request;
}

}  // namespace peltaro::python
