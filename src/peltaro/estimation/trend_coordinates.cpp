#include "peltaro/estimation/trend_coordinates.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "peltaro/estimation/constrained_params.hpp"
#include "peltaro/core/transforms.hpp"

namespace peltaro::estimation {
namespace {

// Below this the implied mean is too far from the intercept to be a useful
// coordinate (a unit root: the mean is not defined).
constexpr double MIN_AR_SUM = 1e-6;

double sum(std::span<const double> v) {
  double s = 0.0;
  for (const double x : v) s += x;
  return s;
}

// Σ i·v_(i−1), i = 1 … len(v): the lag-weighted sum of a coefficient block.
double lag_moment(std::span<const double> v) {
  double s = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) s += static_cast<double>(i + 1) * v[i];
  return s;
}

}  // namespace

TrendCoordinates::TrendCoordinates(const SarimaxConfig& config, std::span<const double> x0,
                                   std::size_t n_obs)
    : config_(config) {
  if (config.k_trend() == 0 || x0.size() != config.n_params()) return;
  k_trend_ = config.k_trend();
  if (config.trend != core::Trend::Constant) time_scale_ = std::max<double>(1.0, static_cast<double>(n_obs));
  const bool has_ar = config.order.p > 0 || (config.order.P > 0 && config.order.s > 0);
  if (!has_ar) return;
  mean_form_ = true;
  const auto f = factors(x0);
  mean_form_ = f && std::fabs(f->a) >= MIN_AR_SUM;
}

std::optional<TrendCoordinates::Factors> TrendCoordinates::factors(std::span<const double> x) const {
  if (!mean_form_) return Factors{};
  const auto p = constrain_and_split(x, config_);
  if (!p) return std::nullopt;
  const double s = static_cast<double>(config_.order.s);
  // φ(z) = 1 − Σ φ_i z^i and Φ(z^s) = 1 − Σ Φ_i z^(s·i); a(z) = φ(z)·Φ(z^s).
  const double phi1 = 1.0 - sum(p->ar);
  const double big_phi1 = 1.0 - sum(p->seasonal_ar);
  Factors f;
  f.a = phi1 * big_phi1;
  // a'(1) = φ'(1)·Φ(1) + φ(1)·s·Φ'(1).
  f.m1 = -lag_moment(p->ar) * big_phi1 - phi1 * s * lag_moment(p->seasonal_ar);
  if (!std::isfinite(f.a) || !std::isfinite(f.m1)) return std::nullopt;
  return f;
}

// The mean μ_τ = m0 + m1·τ and the intercepts it gives, c_t = a(L)·μ_(t+1):
// b0 = A·m0 + m1·(A − M1) and b1 = A·m1. A linear trend without a constant
// keeps only the slope: b = A·m. Search coordinates: m0, and m1 · time_scale.
Vec TrendCoordinates::to_search(std::span<const double> x) const {
  Vec z(x.begin(), x.end());
  if (!active()) return z;
  const auto f = factors(x);
  if (!f) return z;
  if (config_.trend == core::Trend::ConstantLinear) {
    const double m1 = x[1] / f->a;
    z[0] = (x[0] - m1 * (f->a - f->m1)) / f->a;
    z[1] = m1 * time_scale_;
  } else {
    z[0] = x[0] / f->a * time_scale_;
  }
  return z;
}

void TrendCoordinates::to_objective(std::span<const double> z, std::span<double> x) const {
  std::copy(z.begin(), z.end(), x.begin());
  if (!active()) return;
  // The AR coordinates are shared, so the factors can be read off z itself.
  const auto f = factors(z);
  if (!f) return;  // the objective fails at this point whatever the trend
  if (config_.trend == core::Trend::ConstantLinear) {
    const double m1 = z[1] / time_scale_;
    x[0] = f->a * z[0] + m1 * (f->a - f->m1);
    x[1] = f->a * m1;
  } else {
    x[0] = f->a * (z[0] / time_scale_);
  }
}

void TrendCoordinates::gradient_to_search(std::span<const double> z, std::span<double> g) const {
  if (!active()) return;
  const auto f = factors(z);
  if (!f) return;
  const bool both = config_.trend == core::Trend::ConstantLinear;
  const double g0 = g[0];
  const double g1 = both ? g[1] : 0.0;
  // Mean-form values of the trend at z.
  const double m0 = both ? z[0] : z[0] / time_scale_;
  const double m1 = both ? z[1] / time_scale_ : 0.0;
  if (both) {
    g[0] = f->a * g0;
    g[1] = ((f->a - f->m1) * g0 + f->a * g1) / time_scale_;
  } else {
    g[0] = f->a * g0 / time_scale_;
  }
  if (!mean_form_) return;

  // Through A and M1 the intercepts also depend on the AR coefficients.
  const double d_a = g0 * (m0 + m1) + g1 * m1;
  const double d_m1 = -g0 * m1;
  const auto p = constrain_and_split(z, config_);
  if (!p) return;
  const double s = static_cast<double>(config_.order.s);
  const double phi1 = 1.0 - sum(p->ar);
  const double big_phi1 = 1.0 - sum(p->seasonal_ar);
  Vec v(g.size(), 0.0);
  const std::size_t ar0 = config_.k_trend() + config_.n_exog;
  for (std::size_t i = 0; i < p->ar.size(); ++i) {
    const double lag = static_cast<double>(i + 1);
    v[ar0 + i] = d_a * (-big_phi1) + d_m1 * (-lag * big_phi1 + s * lag_moment(p->seasonal_ar));
  }
  const std::size_t sar0 = ar0 + config_.order.p + config_.order.q;
  for (std::size_t i = 0; i < p->seasonal_ar.size(); ++i) {
    const double lag = static_cast<double>(i + 1);
    v[sar0 + i] = d_a * (-phi1) + d_m1 * (lag_moment(p->ar) - s * lag * phi1);
  }
  auto jv = core::apply_transform_jacobian(v, z, config_);
  if (!jv) return;
  for (std::size_t i = 0; i < g.size(); ++i) g[i] += (*jv)[i];
}

}  // namespace peltaro::estimation
