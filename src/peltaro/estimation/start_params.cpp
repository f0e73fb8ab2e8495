#include "peltaro/estimation/start_params.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "peltaro/core/polynomial.hpp"
#include "peltaro/estimation/cancellation.hpp"
#include "peltaro/estimation/least_squares.hpp"

namespace peltaro::estimation {

using core::SarimaxError;

namespace start_params {
namespace {

// Floor of every variance estimate, so the start value is a valid variance.
constexpr double MIN_SIGMA2 = 1e-6;

// A block starts at zero unless its polynomial is safely stationary (AR) or
// invertible (MA): every inverse root of modulus below this. A start on the
// edge of the region maps to the transforms' far corners, where a search
// has no slope to climb back.
constexpr double MAX_INVERSE_ROOT = 0.999;
// Where a pulled-in block's largest inverse root lands: well inside, so that
// the search starts on a slope, not on the transform's flat edge.
constexpr double PULLED_IN_MODULUS = 0.9;

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  return __builtin_mul_overflow(a, b, &out) ? std::numeric_limits<std::uint64_t>::max() : out;
}

// step, 2·step, …, count·step.
std::vector<std::uint64_t> lag_set(std::uint64_t count, std::uint64_t step) {
  std::vector<std::uint64_t> lags(count);
  for (std::uint64_t i = 0; i < count; ++i) lags[i] = saturating_mul(i + 1, step);
  return lags;
}

double mean(std::span<const double> x) {
  double sum = 0.0;
  for (double v : x) sum += v;
  return sum / static_cast<double>(x.size());
}

double population_variance(std::span<const double> x) {
  const double m = mean(x);
  double ss = 0.0;
  for (double v : x) ss += (v - m) * (v - m);
  return ss / static_cast<double>(x.size());
}

// Regressors as read-only views: a lag of a series is a view into it, so no
// n-row column is copied for it.
using ColumnViews = std::vector<std::span<const double>>;

ColumnViews views_of(const Columns& columns) {
  return ColumnViews(columns.begin(), columns.end());
}

// Minimum-norm least squares of the first `rows` values of `target` on the
// first `rows` values of each column (any number of rows ≥ 1), singular
// values at or below 1e-12 counting as zero. Values that are not finite give
// no solution rather than a meaningless one. A long system is never held
// whole (see svd_least_squares).
std::optional<Vec> svd_solve(const ColumnViews& columns, std::span<const double> target,
                             std::size_t rows) {
  const auto x = svd_least_squares(columns, target, rows, LEAST_SQUARES_EPS);
  if (!x) return std::nullopt;
  return Vec(x->data(), x->data() + x->size());
}

// target[i] − Σ_j β_j·column_j[i] for i < rows.
Vec residuals(std::span<const double> target, const ColumnViews& columns, const Vec& beta,
              std::size_t rows) {
  Vec out(target.begin(), target.begin() + static_cast<std::ptrdiff_t>(rows));
  for (std::size_t i = 0; i < rows; ++i) {
    double fit = 0.0;
    for (std::size_t j = 0; j < columns.size(); ++j) fit += beta[j] * columns[j][i];
    out[i] -= fit;
  }
  return out;
}

// Removes the fitted regression from the first `rows` values of `w`.
void remove_fit(Vec& w, const ColumnViews& columns, const Vec& beta, std::size_t rows) {
  const Vec rest = residuals(w, columns, beta, rows);
  std::copy(rest.begin(), rest.end(), w.begin());
}

// `ols_pinv` over views.
std::optional<Vec> ols_pinv_views(const ColumnViews& columns, std::span<const double> target) {
  const std::size_t k = columns.size();
  if (k == 0) return Vec{};
  if (target.empty()) return Vec(k, 0.0);
  std::size_t rows = target.size();
  for (const auto& c : columns) rows = std::min(rows, c.size());
  if (rows < k) return std::nullopt;
  return svd_solve(columns, target, rows);
}

// A block whose polynomial has an inverse root of modulus MAX_INVERSE_ROOT
// or more is zeroed, or, when asked, has every inverse root scaled by the
// same factor so that the largest has modulus PULLED_IN_MODULUS (coefficient
// k times ρ^k). Roots that cannot be found (NaN entries among them) always
// zero it. Seasonal blocks are polynomials in L^s, judged as they stand.
void make_safe(Vec& block, bool moving_average, UnsafeBlock unsafe) {
  if (block.empty()) return;
  const auto largest = largest_inverse_root(block, moving_average);
  if (largest && *largest < MAX_INVERSE_ROOT) return;
  if (unsafe == UnsafeBlock::PullIn && largest && std::isfinite(*largest)) {
    scale_inverse_roots(block, block, PULLED_IN_MODULUS / *largest);
    return;
  }
  std::fill(block.begin(), block.end(), 0.0);
}

// Trend regressors over the differenced series: a column of ones and/or the
// raw-series time index of each differenced value (counted from 0).
// The trend regression estimates the mean of the differenced series, but the
// model's trend enters as the intercept of the AR recursion: the mean it
// implies is the intercept divided by φ(1)·Φ(1). Left as a mean, a constant
// of 579 with AR coefficients summing to 0.8 implies a level of 2,900, and
// the search starts far down a ridge it may not climb. Rewritten in
// intercept form, c_t = φ(L)Φ(L^s)·μ_(t+1) for μ_τ = b0 + b1·τ:
// b0' = A·b0 + b1·(A − Σ i·a_i) and b1' = A·b1, where a_i are the reduced AR
// polynomial's coefficients (a_0 = 1) and A = Σ a_i. A linear trend without
// a constant keeps only the slope.
void to_intercept_form(std::span<double> trend, core::Trend code, const Vec& ar, const Vec& sar,
                       std::uint64_t s) {
  if (trend.empty()) return;
  core::SarimaxParams p;
  p.ar = ar;
  p.seasonal_ar = sar;
  core::SarimaxConfig c;
  c.order.p = ar.size();
  c.order.P = sar.size();
  c.order.s = sar.empty() ? 0 : s;
  const Vec a = core::reduced_ar(p, c);
  double sum = 0.0, moment = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    sum += a[i];
    moment += static_cast<double>(i) * a[i];
  }
  switch (code) {
    case core::Trend::Constant:
      trend[0] = sum * trend[0];
      break;
    case core::Trend::Linear:
      trend[0] = sum * trend[0];
      break;
    case core::Trend::ConstantLinear:
      trend[0] = sum * trend[0] + trend[1] * (sum - moment);
      trend[1] = sum * trend[1];
      break;
    case core::Trend::None:
      break;
  }
}

// `first_time` is the model's time index of the first differenced value.
Columns trend_columns(core::Trend trend, std::size_t first_time, std::size_t n_w) {
  Columns cols;
  if (trend == core::Trend::Constant || trend == core::Trend::ConstantLinear)
    cols.emplace_back(n_w, 1.0);
  if (trend == core::Trend::Linear || trend == core::Trend::ConstantLinear) {
    Vec t(n_w);
    for (std::size_t i = 0; i < n_w; ++i) t[i] = static_cast<double>(first_time + i);
    cols.push_back(std::move(t));
  }
  return cols;
}

// Trend and regression coefficients from one least-squares fit of the
// differenced series on the trend columns and the differenced regressor
// columns together, removed from `w`. Fitted one after the other, a
// regressor with a mean of its own would lose it to the constant first and
// start far from its coefficient. Fewer rows than columns give the
// minimum-norm coefficients. Regressors that cannot be fitted (values that
// are not finite, no rows) start at 0 and the trend is fitted alone; a trend
// without a solution starts at the mean of w (its other coefficient 0), and
// w is left alone. `exog` absent: the regression block is zeros.
Vec trend_and_regression(Vec& w, const SarimaxConfig& config, std::size_t first_time,
                         const Columns* exog) {
  const core::SarimaxOrder& o = config.order;
  const std::size_t n_w = w.size();
  Columns cols = trend_columns(config.trend, first_time, n_w);
  const std::size_t k_trend = cols.size();
  const std::size_t n_given = exog != nullptr ? exog->size() : config.n_exog;
  if (exog != nullptr) {
    for (Vec& c : difference_exog_cols(*exog, o.d, o.D, o.s)) cols.push_back(std::move(c));
  }
  const auto fitted = [&](std::size_t k) -> std::optional<Vec> {
    const ColumnViews used(cols.begin(), cols.begin() + static_cast<std::ptrdiff_t>(k));
    std::size_t rows = k == 0 ? 0 : n_w;
    for (const auto& c : used) rows = std::min(rows, c.size());
    if (rows == 0) return std::nullopt;
    auto beta = svd_solve(used, w, rows);
    if (beta) remove_fit(w, used, *beta, rows);
    return beta;
  };
  Vec out(k_trend + n_given, 0.0);
  if (auto beta = fitted(cols.size()); beta && beta->size() <= out.size()) {
    std::ranges::copy(*beta, out.begin());
  } else if (auto trend = fitted(k_trend)) {
    std::ranges::copy(*trend, out.begin());
  } else if (k_trend > 0 && n_w > 0) {
    out[0] = mean(w);
  }
  return out;
}

}  // namespace

Vec difference(std::span<const double> x, std::uint64_t d) {
  Vec w(x.begin(), x.end());
  for (std::uint64_t pass = 0; pass < d && !w.empty(); ++pass) {
    for (std::size_t t = 0; t + 1 < w.size(); ++t) w[t] = w[t + 1] - w[t];
    w.pop_back();
  }
  return w;
}

Vec seasonal_difference(std::span<const double> x, std::uint64_t D, std::uint64_t s) {
  Vec w(x.begin(), x.end());
  if (s == 0) return w;
  for (std::uint64_t pass = 0; pass < D; ++pass) {
    if (w.size() <= s) return {};
    Vec next(w.size() - s);
    for (std::size_t t = s; t < w.size(); ++t) next[t - s] = w[t] - w[t - s];
    w = std::move(next);
  }
  return w;
}

Columns difference_exog_cols(const Columns& columns, std::uint64_t d, std::uint64_t D,
                             std::uint64_t s) {
  Columns out;
  out.reserve(columns.size());
  for (const Vec& c : columns) out.push_back(seasonal_difference(difference(c, d), D, s));
  return out;
}

std::optional<Vec> ols_pinv(const Columns& columns, std::span<const double> target) {
  return ols_pinv_views(views_of(columns), target);
}

std::optional<TwoStage> css_two_stage(std::span<const double> y,
                                      std::span<const std::uint64_t> ar_lags,
                                      std::span<const std::uint64_t> ma_lags) {
  const std::size_t n = y.size();
  const auto largest = [](std::span<const std::uint64_t> lags) {
    return lags.empty() ? std::uint64_t{0} : *std::max_element(lags.begin(), lags.end());
  };
  const std::uint64_t p_max = largest(ar_lags);
  const std::uint64_t q_max = largest(ma_lags);
  // A lag reaching past the series fails the length test of a stage below;
  // returning here also keeps 3·q_max from overflowing.
  if (p_max >= n || q_max >= n) return std::nullopt;
  const std::size_t m = 2 * q_max;                  // order of the long autoregression
  const std::size_t t0 = std::max(p_max, 3 * q_max);  // first row of the second stage

  // Innovation estimates; zero where the long autoregression has no fit.
  Vec e(n, 0.0);
  if (!ma_lags.empty()) {
    if (n <= m + 2) return std::nullopt;
    ColumnViews lagged(m);
    for (std::size_t j = 0; j < m; ++j) lagged[j] = y.subspan(m - 1 - j, n - m);
    const auto gamma = ols_pinv_views(lagged, y.subspan(m));
    if (!gamma) return std::nullopt;
    const Vec innovations = residuals(y.subspan(m), lagged, *gamma, n - m);
    std::copy(innovations.begin(), innovations.end(), e.begin() + static_cast<std::ptrdiff_t>(m));
  }

  if (n <= t0 + 2) return std::nullopt;
  const std::size_t L = n - t0;
  ColumnViews design;
  design.reserve(ar_lags.size() + ma_lags.size());
  const std::span<const double> innovations(e);
  for (std::uint64_t l : ar_lags) design.push_back(y.subspan(t0 - l, L));
  for (std::uint64_t l : ma_lags) design.push_back(innovations.subspan(t0 - l, L));
  const auto target = y.subspan(t0);
  const auto beta = ols_pinv_views(design, target);
  if (!beta) return std::nullopt;

  TwoStage out;
  const auto n_ar = static_cast<std::ptrdiff_t>(ar_lags.size());
  out.ar.assign(beta->begin(), beta->begin() + n_ar);
  out.ma.assign(beta->begin() + n_ar, beta->end());

  // The variance skips the first n_ma residuals, no mean removed; with no
  // rows beyond them it is the centred variance of all of them.
  const Vec r = residuals(target, design, *beta, L);
  const std::size_t n_ma = ma_lags.size();
  double sigma2 = 0.0;
  if (L > n_ma) {
    for (std::size_t i = n_ma; i < L; ++i) sigma2 += r[i] * r[i];
    sigma2 /= static_cast<double>(L - n_ma);
  } else {
    sigma2 = population_variance(r);
  }
  out.sigma2 = std::fmax(sigma2, MIN_SIGMA2);
  return out;
}

Vec ar_residuals(std::span<const double> y, std::span<const double> ar) {
  const std::size_t p = ar.size();
  if (p == 0) return Vec(y.begin(), y.end());
  if (y.size() <= p) return {};
  Vec out(y.size() - p);
  for (std::size_t t = p; t < y.size(); ++t) {
    double fit = 0.0;
    for (std::size_t k = 1; k <= p; ++k) fit += ar[k - 1] * y[t - k];
    out[t - p] = y[t] - fit;
  }
  return out;
}

Vec seasonal_ar_residuals(std::span<const double> y, std::span<const double> sar,
                          std::uint64_t s) {
  const std::uint64_t first = saturating_mul(sar.size(), s);
  if (y.size() <= first) return {};
  Vec out(y.size() - first);
  for (std::size_t t = first; t < y.size(); ++t) {
    double fit = 0.0;
    for (std::size_t k = 1; k <= sar.size(); ++k) fit += sar[k - 1] * y[t - k * s];
    out[t - first] = y[t] - fit;
  }
  return out;
}

core::Result<Vec> compute_start_params(std::span<const double> y, const SarimaxConfig& config,
                                       const Columns* exog, UnsafeBlock unsafe) {
  const core::SarimaxOrder& o = config.order;
  Vec w = seasonal_difference(difference(y, o.d), o.D, o.s);
  const std::size_t n_w = w.size();
  Vec out;
  out.reserve(config.n_params());

  // The model's time runs over the differenced series under simple
  // differencing, over the raw one otherwise.
  const std::size_t first_time = config.simple_differencing ? 0 : y.size() - n_w;
  const Vec regression = trend_and_regression(w, config, first_time, exog);
  out.insert(out.end(), regression.begin(), regression.end());

  Vec ar(o.p, 0.0), ma(o.q, 0.0), sar(o.P, 0.0), sma(o.Q, 0.0);
  std::optional<double> css_sigma2;
  if (o.p > 0 || o.q > 0) {
    if (auto fit = css_two_stage(w, lag_set(o.p, 1), lag_set(o.q, 1))) {
      ar = std::move(fit->ar);
      ma = std::move(fit->ma);
      css_sigma2 = fit->sigma2;
    }
  }
  // Fitted on the same differenced series, not on the non-seasonal
  // residuals: each block is a rough start on its own.
  if ((o.P > 0 || o.Q > 0) && o.s > 0) {
    if (auto fit = css_two_stage(w, lag_set(o.P, o.s), lag_set(o.Q, o.s))) {
      sar = std::move(fit->ar);
      sma = std::move(fit->ma);
      if (!css_sigma2) css_sigma2 = fit->sigma2;
    }
  }
  for (Vec* block : {&ar, &ma, &sar, &sma}) {
    make_safe(*block, block == &ma || block == &sma, unsafe);
    out.insert(out.end(), block->begin(), block->end());
  }
  to_intercept_form(std::span<double>(out).first(std::min<std::size_t>(config.k_trend(), out.size())),
                    config.trend, ar, sar, o.s);

  if (!config.concentrate_scale) {
    if (css_sigma2) {
      out.push_back(*css_sigma2);
    } else {
      Vec e = ar_residuals(w, ar);
      if (o.P > 0 && o.s > 0) e = seasonal_ar_residuals(e, sar, o.s);
      // fmax drops a NaN variance in favour of the floor.
      out.push_back(e.empty() ? MIN_SIGMA2 : std::fmax(population_variance(e), MIN_SIGMA2));
    }
  }

  if (out.size() != config.n_params())
    return core::fail(SarimaxError::data_error("failed to build start params: expected length " +
                                               std::to_string(config.n_params()) + ", got " +
                                               std::to_string(out.size())));
  return out;
}

}  // namespace start_params

core::Result<Vec> validate_and_get_start_params(std::span<const double> y,
                                                const SarimaxConfig& config,
                                                const Vec* start, const Columns* exog) {
  const std::uint64_t k_states = config.order.k_states();
  const std::uint64_t states_bound =
      k_states == std::numeric_limits<std::uint64_t>::max() ? k_states : k_states + 1;
  const std::uint64_t min_obs = std::max(states_bound, config.n_params());
  if (y.size() <= min_obs)
    return core::fail(SarimaxError::data_error("Not enough observations: n=" +
                                               std::to_string(y.size()) + " <= minimum required " +
                                               std::to_string(min_obs) + " for model order"));
  if (start != nullptr) return *start;
  return start_params::compute_start_params(y, config, exog);
}

}  // namespace peltaro::estimation
