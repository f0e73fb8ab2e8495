#pragma once
// Model records shared by every subsystem: the orders, the configuration and
// the sizes derived from them.

#include <array>
#include <cstdint>
#include <vector>

namespace peltaro::core {

using Vec = std::vector<double>;
// Regressor columns: one vector per regressor, each as long as the series.
// Passed as `const Columns*`; a null pointer means "no columns given", which is
// kept apart from a present, empty list.
using Columns = std::vector<Vec>;

// Variance of an approximately diffuse initial state, in the units of the
// series squared.
inline constexpr double DIFFUSE_VARIANCE = 1e6;

enum class Trend : std::uint8_t { None = 0, Constant = 1, Linear = 2, ConstantLinear = 3 };

// Number of trend coefficients, indexed by the trend code.
inline constexpr std::array<std::uint64_t, 4> K_TREND_TABLE{0, 1, 1, 2};

struct SarimaxOrder {
  std::uint64_t p = 0, d = 0, q = 0, P = 0, D = 0, Q = 0, s = 0;

  // d + D·s + max(p + P·s, q + Q·s + 1): always counts the differencing
  // states, whatever `simple_differencing` says.
  [[nodiscard]] std::uint64_t k_states() const {
    return d + D * s + k_arma();
  }
  [[nodiscard]] std::uint64_t k_arma() const {
    const std::uint64_t ar = p + P * s;
    const std::uint64_t ma = q + Q * s + 1;
    return ma <= ar ? ar : ma;
  }
};

struct SarimaxConfig {
  SarimaxOrder order;
  std::uint64_t n_exog = 0;
  Trend trend = Trend::None;
  bool enforce_stationarity = true;
  bool enforce_invertibility = true;
  bool concentrate_scale = false;
  bool simple_differencing = false;
  // The variance the approximately diffuse states start with, unless it is
  // too large beside σ² for the filter to carry (`carried_diffuse_variance`).
  // A fit that works on the series in other units scales it with them, so
  // that the likelihood it maximises differs from the caller's by a constant.
  double diffuse_variance = DIFFUSE_VARIANCE;

  [[nodiscard]] std::uint64_t k_trend() const {
    return K_TREND_TABLE[static_cast<std::size_t>(trend)];
  }
  [[nodiscard]] std::uint64_t k_arma() const { return order.k_arma(); }
  // Differencing states carried by a system built from this configuration.
  [[nodiscard]] std::uint64_t k_diff() const {
    return simple_differencing ? 0 : order.d + order.D * order.s;
  }
  // Length of the flat parameter vector.
  [[nodiscard]] std::uint64_t n_params() const {
    return k_trend() + n_exog + order.p + order.q + order.P + order.Q +
           (concentrate_scale ? 0 : 1);
  }
};

}  // namespace peltaro::core
