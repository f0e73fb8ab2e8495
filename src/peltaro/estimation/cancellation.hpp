#pragma once
// Near-cancellation of AR and MA factors: when an inverted AR root lies close
// to an inverted MA root the two polynomials nearly share a factor and the
// model is close to non-identifiable.

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "peltaro/core/params.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

// (real part, imaginary part) of each root; a complex pair appears as two
// entries, the one with the positive imaginary part first.
using RootList = std::vector<std::pair<double, double>>;

// Roots of z^n − c0·z^(n−1) − … − c(n−1), the eigenvalues of its companion
// matrix in the order of the real Schur form's diagonal. Empty when the
// Schur iteration does not converge.
RootList polynomial_roots(std::span<const double> c);

// Largest modulus among the inverse roots of an AR block's polynomial
// 1 − φ1·L − … (`moving_average` false) or an MA block's 1 + θ1·L + …;
// nothing when the roots are not found (NaN entries among them).
std::optional<double> largest_inverse_root(std::span<const double> block, bool moving_average);

// `to` = `from` with coefficient k (from 1) times ρ^k: every inverse root of
// the block's polynomial times ρ, AR or MA alike. `to` may be `from`.
void scale_inverse_roots(std::span<const double> from, std::span<double> to, double rho);

// True when every inverted AR root is farther than `tol` from every inverted
// MA root (non-seasonal blocks only); always true when p or q is zero.
bool validate_no_near_cancellation(const core::SarimaxParams& params, std::size_t p, std::size_t q,
                                   double tol);

// Tolerances of the two tests the multi-start strategies apply to
// unconstrained points.
inline constexpr double RIDGE_TOLERANCE = 0.05;
inline constexpr double FILTER_TOLERANCE = 0.01;

// The point nearly cancels (tolerance 0.05); false when it cannot be mapped.
bool on_cancellation_ridge(std::span<const double> x, const SarimaxConfig& config);
// The point is clear of cancellation (tolerance 0.01); false when it cannot be mapped.
bool passes_cancellation_filter(std::span<const double> x, const SarimaxConfig& config);

}  // namespace peltaro::estimation
