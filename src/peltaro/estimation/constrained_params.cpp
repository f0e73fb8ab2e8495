#include "peltaro/estimation/constrained_params.hpp"

#include "peltaro/core/transforms.hpp"

namespace peltaro::estimation {

TextResult<core::SarimaxParams> constrain_and_split(std::span<const double> x,
                                                    const SarimaxConfig& config) {
  auto constrained = core::transform_params_inner(x, config, true);
  if (!constrained) return fail_text(constrained.error().display());
  auto params = core::SarimaxParams::from_flat(*constrained, config);
  if (!params) return fail_text(params.error().display());
  return std::move(*params);
}

}  // namespace peltaro::estimation
