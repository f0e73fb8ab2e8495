#pragma once
// Start values the caller gives meet the enforced regions before they are
// mapped to the optimiser's coordinates. The unconstraining map floors its
// way through a block outside its region (or so close to its edge that the
// map cannot come back to it) and lands far out in the unconstrained space,
// where a search stalls on a flat ridge: such a block is first scaled just
// inside, and the fit says so in a warning.

#include <span>
#include <string>
#include <vector>

#include "peltaro/core/error.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

// Inverse roots within this of the unit circle count as on it: a root on
// the circle is found only to about this, and the transform floors such a
// block as it floors one outside.
inline constexpr double UNIT_CIRCLE_TOLERANCE = 1e-12;
// How far constrain(unconstrain(block)) may come back from a block, relative
// to each coefficient (absolute below 1), for the block to count as inside.
inline constexpr double ROUND_TRIP_TOLERANCE = 1e-8;

// Scales each block of `start` (model coordinates, flat order) whose enforce
// switch is on and which lies outside its region (an inverse root on or
// outside the unit circle, or a failed round trip) so that its largest
// inverse root has modulus 0.99: coefficient k times ρ^k scales every
// inverse root by ρ. Blocks are judged as the transform maps them, the
// non-seasonal and the seasonal polynomials separately. A block with a
// non-finite coefficient is left as given, for the filter to refuse.
// Returns one warning per block it scaled, in block order.
std::vector<std::string> pull_into_enforced_region(std::span<double> start,
                                                   const SarimaxConfig& config);

struct UnconstrainedStart {
  Vec x;
  std::vector<std::string> warnings;
};

// The optimiser's start from model values: given start values are pulled
// into the enforced regions first (computed ones are inside by
// construction), then everything is unconstrained.
core::Result<UnconstrainedStart> unconstrain_start(std::span<const double> start,
                                                   const SarimaxConfig& config, bool given);

}  // namespace peltaro::estimation
