#include "peltaro/core/polynomial.hpp"

#include <stdexcept>

namespace peltaro::core {
namespace {

Vec make_poly(std::span<const double> coefs, std::uint64_t order, double sign) {
  Vec c(order + 1, 0.0);
  c[0] = 1.0;
  for (std::size_t i = 0; i < coefs.size() && i < order; ++i) c[i + 1] = sign * coefs[i];
  return c;
}

Vec make_seasonal_poly(std::span<const double> coefs, std::uint64_t s, double sign) {
  if (coefs.empty()) return {1.0};
  // A period of zero would put every coefficient on lag 0.
  if (s == 0) throw std::logic_error("seasonal polynomial with coefficients needs a period s >= 1");
  Vec c(1 + s * coefs.size(), 0.0);
  c[0] = 1.0;
  for (std::size_t j = 0; j < coefs.size(); ++j) c[(j + 1) * s] = sign * coefs[j];
  return c;
}

}  // namespace

Vec make_ar_poly(std::span<const double> coefs, std::uint64_t p) { return make_poly(coefs, p, -1.0); }
Vec make_ma_poly(std::span<const double> coefs, std::uint64_t q) { return make_poly(coefs, q, 1.0); }
Vec make_seasonal_ar_poly(std::span<const double> coefs, std::uint64_t s) {
  return make_seasonal_poly(coefs, s, -1.0);
}
Vec make_seasonal_ma_poly(std::span<const double> coefs, std::uint64_t s) {
  return make_seasonal_poly(coefs, s, 1.0);
}

Vec polymul(std::span<const double> a, std::span<const double> b) {
  if (a.empty() || b.empty()) return {};
  Vec c(a.size() + b.size() - 1, 0.0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (std::size_t j = 0; j < b.size(); ++j) {
      const double prod = a[i] * b[j];
      c[i + j] = c[i + j] + prod;
    }
  }
  return c;
}

Vec reduced_ar(const SarimaxParams& params, const SarimaxConfig& config) {
  return polymul(make_ar_poly(params.ar, config.order.p),
                 make_seasonal_ar_poly(params.seasonal_ar, config.order.s));
}

Vec reduced_ma(const SarimaxParams& params, const SarimaxConfig& config) {
  return polymul(make_ma_poly(params.ma, config.order.q),
                 make_seasonal_ma_poly(params.seasonal_ma, config.order.s));
}

}  // namespace peltaro::core
