#pragma once
// Several series of one length through one system: the covariance recursion,
// F_t and the steady-state decision depend on the system and the initial
// covariance only, so they are computed once per step for all series; only
// the state means are kept per series.

#include <optional>
#include <span>
#include <vector>

#include "peltaro/core/error.hpp"
#include "peltaro/core/initialization.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::core {

struct BatchedKalmanOutput {
  std::vector<Vec> innovations;  // one array of n innovations per series, input order
  Vec f_values;                  // F_t of every step, shared by all series
  std::size_t n_eff = 0;         // n − burn: trailing steps that belong in a likelihood
  std::optional<std::size_t> steady_from;  // first step with the frozen covariance, if any
};

// Innovations and innovation variances only: no log-likelihood, no final
// states, no screening of non-finite values (they stay in their own series).
// The system and the initial state must have the sizes `StateSpace::create`
// and `KalmanInit::from_config_default` give them; other sizes throw
// std::logic_error.
Result<BatchedKalmanOutput> kalman_filter_batched(std::span<const std::span<const double>> series,
                                                  const StateSpace& ss, const KalmanInit& init);

}  // namespace peltaro::core
