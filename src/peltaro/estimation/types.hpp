#pragma once
// Values every part of estimation shares: the penalty cost, text errors and
// the result of one optimiser run.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <expected>
#include <limits>
#include <string>

#include "peltaro/core/types.hpp"

namespace peltaro::estimation {

using core::Columns;
using core::SarimaxConfig;
using core::Vec;

// Inside estimation failures travel as texts; the fit entry wraps them.
template <class T>
using TextResult = std::expected<T, std::string>;

inline std::unexpected<std::string> fail_text(std::string text) {
  return std::unexpected(std::move(text));
}

// What a cost function returns for a point it cannot evaluate: half the
// largest double, so that a difference of two penalties stays finite.
inline constexpr double PENALTY = std::numeric_limits<double>::max() / 2.0;

// A run whose best cost is the penalty found no point that could be
// evaluated: whatever stopped it, it has not converged.
inline bool is_penalty(double cost) { return !(cost < PENALTY); }

// A cost below another by more than rounding: two runs that end on one
// maximum differ by about this, and the earlier one stands.
inline bool lower_beyond_rounding(double cost, double than) {
  return cost < than - 1e-9 * (1.0 + std::fabs(than));
}

// Where the four coefficient blocks start in the flat parameter vector
// (trend, regressors, AR, MA, seasonal AR, seasonal MA, then σ²); `end` is
// one past the seasonal MA block.
struct CoefficientLayout {
  std::size_t ar, ma, sar, sma, end;
  explicit CoefficientLayout(const SarimaxConfig& c)
      : ar(c.k_trend() + c.n_exog),
        ma(ar + c.order.p),
        sar(ma + c.order.q),
        sma(sar + c.order.P),
        end(sma + c.order.Q) {}
};

// One optimiser run: the best point (unconstrained coordinates), its cost,
// the run's count (iterations, or evaluations for L-BFGS-B) and whether it
// ended by its own convergence test.
struct RunnerResult {
  Vec x;
  double f = 0.0;
  std::uint64_t n_iter = 0;
  bool converged = false;
  // The largest gradient entry at x in the runner's own coordinates, where
  // the runner has it (the bounded runner does).
  std::optional<double> end_slope;
};

// The result of a strategy: a runner result with the label of the path taken
// (it becomes the fit's `method`), or the error that ends the fit.
struct StrategyOutcome {
  Vec x;
  double f = 0.0;
  std::uint64_t n_iter = 0;
  bool converged = false;
  std::string label;
};

}  // namespace peltaro::estimation
