#pragma once
// The flat parameter vector split into its named blocks.

#include <optional>
#include <span>

#include "peltaro/core/error.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::core {

// Block order of the flat vector: trend, exog, ar, ma, seasonal_ar,
// seasonal_ma, then sigma2 unless the scale is concentrated. Values are
// stored as given: NaN or a non-positive variance are not inspected here.
struct SarimaxParams {
  std::optional<double> sigma2;
  Vec trend;
  Vec exog;
  Vec ar;
  Vec ma;
  Vec seasonal_ar;
  Vec seasonal_ma;

  static Result<SarimaxParams> from_flat(std::span<const double> flat, const SarimaxConfig& config);
};

}  // namespace peltaro::core
