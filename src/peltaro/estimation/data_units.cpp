#include "peltaro/estimation/data_units.hpp"

#include <algorithm>
#include <cmath>

#include "peltaro/core/css.hpp"

namespace peltaro::estimation {
namespace {

// Exponents beyond this would take the diffuse variance (1e6 times the
// factor squared) out of range; data that far out keep part of their scale.
constexpr int MAX_EXPONENT = 500;

// The spread of x: its standard deviation, or its largest magnitude when it
// has none. Computed on x divided by its largest magnitude, so that no sum
// overflows or underflows. Zero for empty or all-zero data.
double spread(std::span<const double> x) {
  double top = 0.0;
  for (double v : x) top = std::fmax(top, std::fabs(v));
  if (!(top > 0.0) || !std::isfinite(top)) return 0.0;
  double mean = 0.0;
  for (double v : x) mean += v / top;
  mean /= static_cast<double>(x.size());
  double ss = 0.0;
  for (double v : x) {
    const double d = v / top - mean;
    ss += d * d;
  }
  const double sd = std::sqrt(ss / static_cast<double>(x.size()));
  return sd > 0.0 ? top * sd : top;
}

// The power of two that brings the spread of the differenced data (else of
// the data themselves) into [0.5, 1); 1 when there is none.
double factor_for(std::span<const double> x, const SarimaxConfig& config) {
  double s = spread(core::apply_differencing(x, config));
  if (!(s > 0.0)) s = spread(x);
  if (!(s > 0.0)) return 1.0;
  int e = 0;
  std::frexp(s, &e);
  return std::ldexp(1.0, std::clamp(-e, -MAX_EXPONENT, MAX_EXPONENT));
}

}  // namespace

DataUnits DataUnits::choose(std::span<const double> y, const Columns* exog,
                            const SarimaxConfig& config) {
  DataUnits units;
  units.series_ = factor_for(y, config);
  if (exog != nullptr) {
    for (const Vec& column : *exog) units.columns_.push_back(factor_for(column, config));
  }
  return units;
}

Vec DataUnits::scale_series(std::span<const double> y) const {
  Vec out(y.begin(), y.end());
  for (double& v : out) v *= series_;
  return out;
}

Columns DataUnits::scale_columns(const Columns& exog) const {
  Columns out = exog;
  for (std::size_t j = 0; j < out.size() && j < columns_.size(); ++j) {
    for (double& v : out[j]) v *= columns_[j];
  }
  return out;
}

SarimaxConfig DataUnits::scale_config(const SarimaxConfig& config) const {
  SarimaxConfig out = config;
  // With the scale concentrated out, the filter runs in units of σ², so the
  // diffuse variance is a multiple of σ² and follows the data by itself.
  if (!config.concentrate_scale) out.diffuse_variance = config.diffuse_variance * series_ * series_;
  return out;
}

Vec DataUnits::map_params(std::span<const double> params, const SarimaxConfig& config,
                          int power) const {
  Vec out(params.begin(), params.end());
  const auto raise = [power](double f) { return power > 0 ? f : 1.0 / f; };
  const std::size_t k_trend = config.k_trend();
  std::size_t i = 0;
  for (; i < k_trend && i < out.size(); ++i) out[i] *= raise(series_);
  for (std::size_t j = 0; j < config.n_exog && i < out.size(); ++j, ++i) {
    const double column = j < columns_.size() ? columns_[j] : 1.0;
    out[i] *= raise(series_) / raise(column);
  }
  if (!config.concentrate_scale && out.size() == config.n_params() && !out.empty()) {
    out.back() *= raise(series_) * raise(series_);
  }
  return out;
}

Vec DataUnits::params_to_fit(std::span<const double> params, const SarimaxConfig& config) const {
  return map_params(params, config, 1);
}

Vec DataUnits::params_to_caller(std::span<const double> params,
                                const SarimaxConfig& config) const {
  return map_params(params, config, -1);
}

}  // namespace peltaro::estimation
