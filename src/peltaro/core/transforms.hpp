#pragma once
// Maps between the model's coefficients (constrained: stationary AR,
// invertible MA, positive variance) and the optimiser's unrestricted
// coordinates, block by block over the flat parameter vector, and the chain
// rule that carries a gradient from the first space to the second.

#include <expected>
#include <span>
#include <string>

#include "peltaro/core/error.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::core {

// Partial-autocorrelation (Durbin-Levinson) map: any real x gives phi whose AR
// polynomial 1 - phi_0 L - ... - phi_{k-1} L^k has all roots outside the unit
// circle (as long as every |x_j / sqrt(x_j^2 + 1)| < 1 in floating point).
Vec constrain_stationary(std::span<const double> x);

// Inverse of constrain_stationary. A non-stationary input is not reported:
// the 1e-15 floors turn it into large finite values.
Vec unconstrain_stationary(std::span<const double> phi);

// -constrain_stationary(x): an invertible MA polynomial 1 + theta_0 L + ....
Vec constrain_invertible(std::span<const double> x);

// unconstrain_stationary(-theta).
Vec unconstrain_invertible(std::span<const double> theta);

// Maps a whole flat vector (trend, exog, ar, ma, seasonal_ar, seasonal_ma,
// sigma2 unless the scale is concentrated). `direction` true constrains
// (unconstrained -> model values), false unconstrains. Trend and regression
// coefficients, and any block whose enforce switch is off, pass through
// bit for bit; the non-seasonal and seasonal blocks are transformed as
// separate polynomials; sigma2 maps through exp / ln.
// Fails on a wrong length and, when unconstraining, on sigma2 <= 0.
Result<Vec> transform_params_inner(std::span<const double> x, const SarimaxConfig& config,
                                   bool direction);

// J'v, J the Jacobian of the constraining map at the unconstrained point x.
// J is block diagonal: identity blocks give v_j exactly, the variance gives
// v_j·exp(x_j), and each stationary or invertible block uses forward
// differences with the absolute step 1e-7. v must hold at least as many
// entries as x; entries past that are ignored.
Result<Vec> transform_jacobian_t_vec(std::span<const double> x, const SarimaxConfig& config,
                                     std::span<const double> v);

// transform_jacobian_t_vec(x, config, grad) with the error rendered as text,
// for estimation, which carries failures as text. Note the argument order.
std::expected<Vec, std::string> apply_transform_jacobian(std::span<const double> grad,
                                                         std::span<const double> x,
                                                         const SarimaxConfig& config);

}  // namespace peltaro::core
