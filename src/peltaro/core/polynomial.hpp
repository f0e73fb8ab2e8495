#pragma once
// Lag polynomials. AR polynomials are stored 1, −φ1, …; MA polynomials
// 1, +θ1, …; coefficient i multiplies L^i.

#include <cstdint>
#include <span>

#include "peltaro/core/params.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::core {

Vec make_ar_poly(std::span<const double> coefs, std::uint64_t p);
Vec make_ma_poly(std::span<const double> coefs, std::uint64_t q);
Vec make_seasonal_ar_poly(std::span<const double> coefs, std::uint64_t s);
Vec make_seasonal_ma_poly(std::span<const double> coefs, std::uint64_t s);

// Product of two polynomials; each output coefficient sums its terms in
// ascending index of `a`, starting from +0.0.
Vec polymul(std::span<const double> a, std::span<const double> b);

Vec reduced_ar(const SarimaxParams& params, const SarimaxConfig& config);
Vec reduced_ma(const SarimaxParams& params, const SarimaxConfig& config);

}  // namespace peltaro::core
