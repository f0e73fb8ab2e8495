#pragma once
// Maxima on the edge of the stationary or invertible region. Near an edge the
// parameter transform flattens the likelihood in the unconstrained
// coordinates, so a gradient search that heads for the edge stops short of
// it, or of a higher point along it.
// - MA: the exact likelihood does not change when an MA inverse root outside
//   the unit circle is replaced by its reciprocal and σ² is scaled by its
//   squared modulus (the autocovariances stay the same), so a search with the
//   constraint off crosses the edge freely and its end point is brought back
//   by reflection.
// - MA not enforced: the search's box holds the invertible side of each
//   root only, while from a diffuse start a root and its reciprocal (σ²
//   scaled as above) give slightly different likelihoods, either of which
//   may be the higher; so a BFGS search also starts from each twin.
// - AR: a stationary start needs a stationary AR part, so there is no
//   crossing; a simplex search, whose steps keep their size whatever the
//   slope, carries on along the flattened coordinates instead.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::edge_polish {

// Whether an enforced MA or seasonal MA block (`moving_average`), or an
// enforced AR or seasonal AR block, of `params` (model coordinates) has an
// inverse root of modulus 0.99 or more.
bool near_edge(std::span<const double> params, const SarimaxConfig& config, bool moving_average);

// `params` with every MA and seasonal MA inverse root of modulus above 1
// replaced by its reciprocal, and σ² (unless concentrated) times the product
// of their squared moduli. Blocks whose roots are not found stay as given.
Vec reflect_ma_roots(std::span<const double> params, const SarimaxConfig& config);

// For each MA and seasonal MA block of a model with invertibility not
// enforced, `params` with one real inverse root, or one complex pair,
// replaced by its reciprocal and σ² (unless concentrated) times its squared
// modulus; none when invertibility is enforced.
std::vector<Vec> ma_twins(std::span<const double> params, const SarimaxConfig& config);

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

struct Polished {
  Vec params;  // model coordinates
  double f;    // −log-likelihood
  bool converged;
};

// The default fit's end point carried on where it lies near an enforced edge:
// across the MA edge first, or from each MA twin under a diffuse start, then
// by a simplex search near the AR edge (and BFGS after it when the simplex
// ends on its budget); each step's end point is kept when it is higher, with
// the flag of the search that ended there.
// `objective` is the model's own (flags as configured).
Polished polish(const SarimaxObjective& objective, std::span<const double> endog,
                const Columns* exog, const SarimaxConfig& config, Polished from,
                std::uint64_t maxiter);

}  // namespace peltaro::estimation::edge_polish
