#include "peltaro/apply/diagnostics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/fisher_f.hpp>

#include "peltaro/apply/distributions.hpp"
#include "peltaro/apply/residuals.hpp"
#include "peltaro/core/params.hpp"

namespace peltaro::apply {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// Both distribution functions are 1 at +infinity, which Boost treats as
// outside the domain; a statistic that overflowed must still reject.
double chi_squared_cdf(double df, double x) {
  if (x == INF) return 1.0;
  return boost::math::cdf(boost::math::chi_squared_distribution<double, NanPolicy>(df), x);
}

double fisher_f_cdf(double df1, double df2, double x) {
  if (x == INF) return 1.0;
  return boost::math::cdf(boost::math::fisher_f_distribution<double, NanPolicy>(df1, df2), x);
}

// Σ r / n, moved by the mean of the deviations from it: a constant vector
// gets its own value back, so its deviations are exactly zero and its
// spread is exactly 0 rather than a few rounding errors squared.
double mean_of(std::span<const double> r) {
  const double n = static_cast<double>(r.size());
  double sum = 0.0;
  for (double v : r) sum += v;
  const double m = sum / n;
  double drift = 0.0;
  for (double v : r) drift += v - m;
  return m + drift / n;
}

double squared_deviations(std::span<const double> r, double m) {
  double ss = 0.0;
  for (double v : r) ss += (v - m) * (v - m);
  return ss;
}

}  // namespace

LjungBox ljung_box(std::span<const double> r, std::uint64_t n_params) {
  const std::size_t n = r.size();
  const std::uint64_t lags = std::min<std::uint64_t>(std::max<std::uint64_t>(n / 5, 1), 10);
  LjungBox out{.stat = 0.0, .pvalue = 1.0, .df = lags};
  if (n == 0) return out;
  const double m = mean_of(r);
  const double s2 = squared_deviations(r, m);
  if (s2 <= 0.0) return out;

  double weighted = 0.0;
  for (std::size_t k = 1; k <= lags; ++k) {
    double cross = 0.0;
    for (std::size_t t = k; t < n; ++t) cross += (r[t] - m) * (r[t - k] - m);
    const double rho = cross / s2;
    weighted += rho * rho / static_cast<double>(n - k);
  }
  const double nd = static_cast<double>(n);
  out.stat = nd * (nd + 2.0) * weighted;
  out.df = lags > n_params ? lags - n_params : lags;
  out.pvalue = 1.0 - chi_squared_cdf(static_cast<double>(out.df), out.stat);
  return out;
}

JarqueBera jarque_bera(std::span<const double> r) {
  const std::size_t n = r.size();
  JarqueBera out;
  if (n < 3) return out;
  const double m = mean_of(r);
  double s2 = 0.0, s3 = 0.0, s4 = 0.0;
  for (double v : r) {
    const double e = v - m;
    const double e2 = e * e;
    s2 += e2;
    s3 += e2 * e;
    s4 += e2 * e2;
  }
  const double nd = static_cast<double>(n);
  const double m2 = s2 / nd;
  if (m2 <= 0.0) return out;
  const double skew = (s3 / nd) / std::pow(m2, 1.5);
  const double kurt = (s4 / nd) / (m2 * m2) - 3.0;
  out.stat = (nd / 6.0) * (skew * skew + kurt * kurt * 0.25);
  out.pvalue = 1.0 - chi_squared_cdf(2.0, out.stat);
  return out;
}

Heteroskedasticity heteroskedasticity(std::span<const double> r) {
  const std::size_t n = r.size();
  // n/3 is never a half, so the rounding rule for halves does not arise.
  const auto h = static_cast<std::size_t>(std::round(static_cast<double>(n) / 3.0));
  Heteroskedasticity out;
  if (h < 2 || 2 * h > n) return out;
  const auto first = r.first(h);
  const auto last = r.last(h);
  const double dof = static_cast<double>(h - 1);
  const double var1 = squared_deviations(first, mean_of(first)) / dof;
  const double var2 = squared_deviations(last, mean_of(last)) / dof;
  if (var1 <= 0.0) return {.stat = INF, .pvalue = 0.0};
  out.stat = var2 / var1;
  const double g = fisher_f_cdf(dof, dof, out.stat);
  out.pvalue = 2.0 * std::min(g, 1.0 - g);
  return out;
}

DiagnosticsResult residual_diagnostics(std::span<const double> r, std::uint64_t n_params) {
  DiagnosticsResult out;
  if (r.empty()) return out;
  const LjungBox lb = ljung_box(r, n_params);
  const JarqueBera jb = jarque_bera(r);
  const Heteroskedasticity het = heteroskedasticity(r);
  out.ljung_box_stat = lb.stat;
  out.ljung_box_pvalue = lb.pvalue;
  out.ljung_box_df = lb.df;
  out.jarque_bera_stat = jb.stat;
  out.jarque_bera_pvalue = jb.pvalue;
  out.het_stat = het.stat;
  out.het_pvalue = het.pvalue;
  return out;
}

core::Result<DiagnosticsResult> compute_diagnostics(std::span<const double> y,
                                                    const core::SarimaxConfig& config,
                                                    std::span<const double> params,
                                                    const core::Columns* exog) {
  auto model_params = core::SarimaxParams::from_flat(params, config);
  if (!model_params) return core::fail(std::move(model_params.error()));
  auto residuals = residuals_pipeline(y, config, *model_params, exog);
  if (!residuals) return core::fail(std::move(residuals.error()));
  // The diffuse start's errors are scaled by the diffuse variance, far above
  // σ², so they sit near zero: kept, they would thin the tails and calm the first third.
  const std::span<const double> standardized(residuals->standardized_residuals);
  return residual_diagnostics(standardized.last(residuals->n_eff), params.size());
}

}  // namespace peltaro::apply
