#pragma once
// A maximum on the edge of the invertible region. Near the edge the
// parameter transform flattens the likelihood in the unconstrained
// coordinates, so a search that heads for the edge stops short of it, or of
// a higher point along it. The exact likelihood does not change when an MA
// inverse root outside the unit circle is replaced by its reciprocal and σ²
// is scaled by its squared modulus (the autocovariances stay the same), so a
// search with the constraint off crosses the edge freely and its end point
// is brought back by reflection.

#include <cstdint>
#include <optional>
#include <span>

#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::edge_polish {

// Whether an enforced MA or seasonal MA block of `params` (model
// coordinates) has an inverse root of modulus 0.99 or more.
bool applies(std::span<const double> params, const SarimaxConfig& config);

// `params` with every MA and seasonal MA inverse root of modulus above 1
// replaced by its reciprocal, and σ² (unless concentrated) times the product
// of their squared moduli. Blocks whose roots are not found stay as given.
Vec reflect_ma_roots(std::span<const double> params, const SarimaxConfig& config);

struct Crossing {
  Vec params;  // model coordinates
  bool converged = false;
};

// A BFGS search from `params` with invertibility not enforced, its end point
// reflected, or nothing when the search fails. `endog` and `exog` are the
// series and columns the model sees.
std::optional<Crossing> search_across(std::span<const double> endog, const Columns* exog,
                                 const SarimaxConfig& config, std::span<const double> params,
                                 std::uint64_t maxiter);

}  // namespace peltaro::estimation::edge_polish
