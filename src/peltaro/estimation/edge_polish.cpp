#include "peltaro/estimation/edge_polish.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <vector>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/cancellation.hpp"
#include "peltaro/estimation/fit_result.hpp"
#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/unbounded_runners.hpp"

namespace peltaro::estimation::edge_polish {
namespace {

constexpr double NEAR_EDGE = 0.99;
// Inverse roots below this have no twin worth a search (and some none at all).
constexpr double MIN_TWIN_ROOT = 1e-8;
// Fresh BFGS starts after a converged one, at most.
constexpr int MAX_FRESH_STARTS = 3;

// The inverse roots λ of an MA block, 1 + θ1·L + … = Π (1 − λ·L); nothing
// for an empty block or when the roots are not found.
std::optional<std::vector<std::complex<double>>> inverse_roots(std::span<const double> theta) {
  Vec c(theta.begin(), theta.end());
  for (double& v : c) v = -v;
  const RootList found = polynomial_roots(c);
  if (theta.empty() || found.size() != theta.size()) return std::nullopt;
  std::vector<std::complex<double>> roots;
  for (const auto& [re, im] : found) roots.emplace_back(re, im);
  return roots;
}

// The MA polynomial 1 + θ1·L + … = Π (1 − λ·L) of the inverse roots λ.
Vec from_inverse_roots(const std::vector<std::complex<double>>& roots) {
  std::vector<std::complex<double>> poly{1.0};
  for (const std::complex<double>& lambda : roots) {
    poly.push_back(0.0);
    for (std::size_t k = poly.size() - 1; k > 0; --k) poly[k] -= lambda * poly[k - 1];
  }
  Vec theta(roots.size());
  for (std::size_t k = 0; k < theta.size(); ++k) theta[k] = poly[k + 1].real();
  return theta;
}

// Reflects the block's inverse roots of modulus above 1 in place; the
// product of their squared moduli, 1 when none is reflected or the roots
// are not found.
double reflect_block(std::span<double> theta) {
  auto roots = inverse_roots(theta);
  if (!roots) return 1.0;
  double factor = 1.0;
  for (std::complex<double>& lambda : *roots) {
    if (std::abs(lambda) > 1.0) {
      factor *= std::norm(lambda);
      lambda = 1.0 / std::conj(lambda);
    }
  }
  if (factor == 1.0) return 1.0;
  const Vec reflected = from_inverse_roots(*roots);
  std::copy(reflected.begin(), reflected.end(), theta.begin());
  return factor;
}

// The twins of `params` in one MA block: each real inverse root, or each
// complex pair, replaced by its reciprocal, σ² times its squared modulus
// (per root).
void add_block_twins(std::span<const double> params, std::size_t from, std::size_t to,
                     bool concentrated, std::vector<Vec>& out) {
  const auto found = inverse_roots(params.subspan(from, to - from));
  if (!found) return;
  const std::vector<std::complex<double>>& roots = *found;
  for (std::size_t i = 0; i < roots.size(); ++i) {
    // A pair is reflected once, from its first member; a root at zero has
    // no reciprocal.
    if (roots[i].imag() < 0.0 || !(std::abs(roots[i]) > MIN_TWIN_ROOT)) continue;
    std::vector<std::complex<double>> twin = roots;
    double factor = 1.0;
    for (std::size_t j = 0; j < twin.size(); ++j) {
      const bool partner = j == i || (roots[i].imag() > 0.0 && j == i + 1);
      if (!partner) continue;
      factor *= std::norm(twin[j]);
      twin[j] = 1.0 / std::conj(twin[j]);
    }
    Vec t(params.begin(), params.end());
    const Vec theta = from_inverse_roots(twin);
    std::copy(theta.begin(), theta.end(), t.begin() + static_cast<std::ptrdiff_t>(from));
    if (!concentrated) t.back() *= factor;
    if (std::all_of(t.begin(), t.end(), [](double v) { return std::isfinite(v); })) {
      out.push_back(std::move(t));
    }
  }
}

// BFGS from x0, started afresh from its end point while that gains: from a
// twin the search crosses ground the first curvature estimate misjudges, and
// a run can stop on a slope that a new start still climbs.
std::optional<RunnerResult> climb_from(const SarimaxObjective& objective, Vec x0,
                                       std::uint64_t maxiter) {
  auto run = runners::run_bfgs(objective.clone(), std::move(x0), maxiter);
  for (int again = 0; again < MAX_FRESH_STARTS && run && run->converged && !is_penalty(run->f);
       ++again) {
    auto more = runners::run_bfgs(objective.clone(), run->x, maxiter);
    if (!more || is_penalty(more->f) || !lower_beyond_rounding(more->f, run->f)) break;
    run = std::move(more);
  }
  if (!run || is_penalty(run->f)) return std::nullopt;
  return std::move(*run);
}

}  // namespace

std::vector<Vec> ma_twins(std::span<const double> params, const SarimaxConfig& config) {
  std::vector<Vec> out;
  if (config.enforce_invertibility) return out;
  const CoefficientLayout at(config);
  add_block_twins(params, at.ma, at.sar, config.concentrate_scale, out);
  add_block_twins(params, at.sma, at.end, config.concentrate_scale, out);
  return out;
}

bool near_edge(std::span<const double> params, const SarimaxConfig& config, bool moving_average) {
  if (!(moving_average ? config.enforce_invertibility : config.enforce_stationarity)) return false;
  const CoefficientLayout at(config);
  const auto blocks = moving_average ? std::array{std::pair{at.ma, at.sar}, std::pair{at.sma, at.end}}
                                     : std::array{std::pair{at.ar, at.ma}, std::pair{at.sar, at.sma}};
  for (const auto& [from, to] : blocks) {
    if (from == to) continue;
    const auto largest = largest_inverse_root(params.subspan(from, to - from), moving_average);
    if (largest && *largest >= NEAR_EDGE) return true;
  }
  return false;
}

Vec reflect_ma_roots(std::span<const double> params, const SarimaxConfig& config) {
  const CoefficientLayout at(config);
  Vec out(params.begin(), params.end());
  double factor = reflect_block(std::span<double>(out).subspan(at.ma, at.sar - at.ma));
  factor *= reflect_block(std::span<double>(out).subspan(at.sma, at.end - at.sma));
  if (!config.concentrate_scale) out.back() *= factor;
  return out;
}

std::optional<Crossing> search_across(std::span<const double> endog, const Columns* exog,
                                 const SarimaxConfig& config, std::span<const double> params,
                                 std::uint64_t maxiter) {
  SarimaxConfig free = config;
  free.enforce_invertibility = false;
  auto x0 = core::transform_params_inner(params, free, false);
  if (!x0) return std::nullopt;
  const SarimaxObjective objective(
      Vec(endog.begin(), endog.end()),
      exog != nullptr ? std::optional<Columns>(*exog) : std::nullopt, free);
  auto run = runners::run_bfgs(objective.clone(), std::move(*x0), maxiter);
  if (!run || is_penalty(run->f)) return std::nullopt;
  auto end = core::transform_params_inner(run->x, free, true);
  if (!end) return std::nullopt;
  return Crossing{reflect_ma_roots(*end, config), run->converged};
}

Polished polish(const SarimaxObjective& objective, std::span<const double> endog,
                const Columns* exog, const SarimaxConfig& config, Polished from,
                std::uint64_t maxiter) {
  // Every point is judged by one evaluation, so that a step is kept for a
  // gain, not for the rounding between two ways of computing one value.
  const auto cost = [&](std::span<const double> params) {
    return -eval_kf_loglike_constrained(endog, config, params, exog);
  };
  const bool ma_edge = near_edge(from.params, config, true);
  // From a stationary start twins have one likelihood; from a diffuse one
  // they differ a little, and either may be the higher.
  const bool diffuse = !config.enforce_stationarity || config.k_diff() > 0;
  const std::vector<Vec> twins = diffuse ? ma_twins(from.params, config) : std::vector<Vec>{};
  // The AR test is taken again after the MA step, which may move the point.
  if (!ma_edge && twins.empty() && !near_edge(from.params, config, false)) return from;
  from.f = cost(from.params);
  const auto keep_if_higher = [&](Vec params, bool converged) {
    const double f = cost(params);
    if (std::isfinite(f) && lower_beyond_rounding(f, from.f)) {
      from = Polished{std::move(params), f, converged};
    }
  };
  if (ma_edge) {
    if (auto across = search_across(endog, exog, config, from.params, maxiter)) {
      keep_if_higher(std::move(across->params), across->converged);
    }
  }
  for (const Vec& twin : twins) {
    auto x0 = core::transform_params_inner(twin, config, false);
    if (!x0) continue;
    auto run = climb_from(objective, std::move(*x0), maxiter);
    if (!run) continue;
    if (auto params = core::transform_params_inner(run->x, config, true)) {
      keep_if_higher(std::move(*params), run->converged);
    }
  }
  if (near_edge(from.params, config, false) && from.params.size() >= 2) {
    auto x0 = core::transform_params_inner(from.params, config, false);
    if (!x0) return from;
    auto run = runners::run_nelder_mead(objective.clone(), std::move(*x0), maxiter);
    // A simplex that ran out of budget may still sit on a slope the
    // gradient can climb; whichever ends the search says whether it
    // converged.
    if (run && !run->converged) {
      if (auto on = runners::run_bfgs(objective.clone(), run->x, maxiter); on && on->f <= run->f) {
        run = std::move(on);
      }
    }
    if (run) {
      if (auto params = core::transform_params_inner(run->x, config, true)) {
        keep_if_higher(std::move(*params), run->converged);
      }
    }
  }
  return from;
}

}  // namespace peltaro::estimation::edge_polish
