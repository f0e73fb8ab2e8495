#pragma once
// Differencing of a series by a model configuration.

#include <span>

#include "peltaro/core/types.hpp"

namespace peltaro::core {

// D seasonal differences at lag s, then d ordinary differences; a pass that
// does not fit the remaining length is skipped (with the passes after it).
Vec apply_differencing(std::span<const double> x, const SarimaxConfig& config);

}  // namespace peltaro::core
