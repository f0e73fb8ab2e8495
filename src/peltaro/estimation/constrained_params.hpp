#pragma once
// The model parameters at a point of the optimiser's unconstrained space.

#include <span>

#include "peltaro/core/params.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

// transform_params_inner (constraining) then SarimaxParams::from_flat; the
// first error as its display text.
TextResult<core::SarimaxParams> constrain_and_split(std::span<const double> x,
                                                    const SarimaxConfig& config);

}  // namespace peltaro::estimation
