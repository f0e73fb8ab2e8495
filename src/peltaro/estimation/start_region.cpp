#include "peltaro/estimation/start_region.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/cancellation.hpp"

namespace peltaro::estimation {
namespace {

struct RegionBlock {
  std::size_t start = 0;
  std::size_t len = 0;
  bool moving_average = false;
  bool enforced = false;
  const char* name = "";
};

// The block comes back from the unconstrained space: it is inside its
// region by more than the transform's floors can blur.
bool survives_round_trip(std::span<const double> block, bool moving_average) {
  const Vec back = moving_average
                       ? core::constrain_invertible(core::unconstrain_invertible(block))
                       : core::constrain_stationary(core::unconstrain_stationary(block));
  for (std::size_t i = 0; i < block.size(); ++i) {
    const double allowed = ROUND_TRIP_TOLERANCE * std::fmax(1.0, std::fabs(block[i]));
    if (!(std::fabs(back[i] - block[i]) <= allowed)) return false;  // NaN fails
  }
  return true;
}

// Scales the block to inverse-root modulus 0.99 or, should the polynomial
// still be too close to the edge for the transform (clustered roots), a
// hundredth less at a time; the modulus reached, or nothing with the block
// left as it was.
std::optional<double> pull_in(std::span<double> coefficients, bool moving_average,
                              double largest) {
  const Vec given(coefficients.begin(), coefficients.end());
  for (int hundredths = 99; hundredths > 0; --hundredths) {
    const double modulus = hundredths / 100.0;
    if (modulus >= largest) continue;
    scale_inverse_roots(given, coefficients, modulus / largest);
    if (survives_round_trip(coefficients, moving_average)) return modulus;
  }
  std::copy(given.begin(), given.end(), coefficients.begin());
  return std::nullopt;
}

std::string region_warning(const RegionBlock& block, bool on_or_outside, double modulus) {
  const char* region = block.moving_average ? "invertible" : "stationary";
  const std::string state = on_or_outside ? std::string("is not ") + region
                                           : std::string("is nearly non-") + region;
  return "start_params: " + std::string(block.name) + " block " + state +
         "; scaled to inverse-root modulus " + core::format_double(modulus);
}

}  // namespace

std::vector<std::string> pull_into_enforced_region(std::span<double> start,
                                                   const SarimaxConfig& config) {
  std::vector<std::string> warnings;
  if (start.size() != config.n_params()) return warnings;  // the transform reports the length
  const core::SarimaxOrder& o = config.order;
  const CoefficientLayout at(config);
  const std::array<RegionBlock, 4> blocks{{
      {at.ar, o.p, false, config.enforce_stationarity, "AR"},
      {at.ma, o.q, true, config.enforce_invertibility, "MA"},
      {at.sar, o.P, false, config.enforce_stationarity, "seasonal AR"},
      {at.sma, o.Q, true, config.enforce_invertibility, "seasonal MA"},
  }};
  for (const RegionBlock& block : blocks) {
    if (!block.enforced || block.len == 0) continue;
    const std::span<double> coefficients = start.subspan(block.start, block.len);
    if (!std::all_of(coefficients.begin(), coefficients.end(),
                     [](double v) { return std::isfinite(v); })) {
      continue;
    }
    const auto largest = largest_inverse_root(coefficients, block.moving_average);
    if (!largest || !std::isfinite(*largest)) continue;
    const bool on_or_outside = *largest >= 1.0 - UNIT_CIRCLE_TOLERANCE;
    if (!on_or_outside && survives_round_trip(coefficients, block.moving_average)) continue;
    if (const auto modulus = pull_in(coefficients, block.moving_average, *largest)) {
      warnings.push_back(region_warning(block, on_or_outside, *modulus));
    }
  }
  return warnings;
}

core::Result<UnconstrainedStart> unconstrain_start(std::span<const double> start,
                                                   const SarimaxConfig& config, bool given) {
  Vec model(start.begin(), start.end());
  std::vector<std::string> warnings;
  if (given) warnings = pull_into_enforced_region(model, config);
  auto x = core::transform_params_inner(model, config, false);
  if (!x) return core::fail(std::move(x.error()));
  return UnconstrainedStart{std::move(*x), std::move(warnings)};
}

}  // namespace peltaro::estimation
