#include "peltaro/estimation/trust_region.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "peltaro/estimation/profiled_objective.hpp"
#include "peltaro/estimation/unbounded_runners.hpp"

namespace peltaro::estimation::trust_region {
namespace {

using core::SarimaxError;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double FD_STEP = 1e-5;
constexpr double PRED_FLOOR = 1e-30;
constexpr double STOP_GRADIENT_NORM = 1e-5;
// The gradient norm below which a run that used its whole budget counts as converged.
constexpr double BUDGET_GRADIENT_NORM = 1e-3;
constexpr double COLLAPSED_RADIUS = 1e-8;
constexpr double MAX_RADIUS = 100.0;
constexpr std::uint64_t MAX_RESETS = 2;
// Consecutive rejections after which each further one also halves the radius.
constexpr std::uint64_t PATIENT_REJECTIONS = 5;

using ConstMap = Eigen::Map<const Eigen::VectorXd>;

ConstMap as_vector(std::span<const double> v) {
  return ConstMap(v.data(), static_cast<Eigen::Index>(v.size()));
}

// Euclidean norm with scaling, so that a long step is cut back to the radius
// instead of overflowing to +∞ (which would scale it to zero or NaN).
double norm_of(std::span<const double> v) { return as_vector(v).stableNorm(); }

bool all_finite(const Vec& v) {
  return std::all_of(v.begin(), v.end(), [](double e) { return std::isfinite(e); });
}

// ⌊3·maxiter/4⌋, at least 1, without forming 3·maxiter (which could wrap).
std::uint64_t warm_up_budget(std::uint64_t maxiter) {
  return std::max<std::uint64_t>(maxiter / 4 * 3 + maxiter % 4 * 3 / 4, 1);
}

SarimaxError profile_failure(std::string text) {
  return SarimaxError::optimization_failed("profile-trust-region: " + std::move(text));
}

}  // namespace

TrustRegionStep trust_region_step(double r, const Eigen::MatrixXd& H, std::span<const double> g) {
  const auto n = static_cast<Eigen::Index>(g.size());
  if (H.rows() != n || H.cols() != n) {
    throw std::logic_error("trust_region_step: inverse Hessian and gradient differ in size");
  }
  Eigen::VectorXd p = -(H * as_vector(g));
  double norm = p.stableNorm();
  // A NaN norm fails both tests and leaves p as it is.
  if (norm > 0.0 && norm > r) {
    p *= r / norm;
    norm = p.stableNorm();
  }
  // fmax drops a NaN, so a NaN product also gives the floor.
  const double pred = std::fmax(-as_vector(g).dot(p), PRED_FLOOR);
  return {Vec(p.data(), p.data() + n), norm, pred};
}

SearchResult trust_region_search(const PointCost& cost, const PointGradient& gradient, Vec x0,
                                 double f0, Vec g0, std::uint64_t maxiter) {
  const std::size_t n = x0.size();
  if (g0.size() != n) {
    throw std::logic_error("trust_region_search: gradient and point differ in length");
  }
  const auto size = static_cast<Eigen::Index>(n);
  Vec x = std::move(x0), g = std::move(g0);
  double f = f0;

  Eigen::MatrixXd H = Eigen::MatrixXd::Zero(size, size);
  for (Eigen::Index i = 0; i < size; ++i) {
    // fmax drops a NaN, so a NaN entry is floored like a zero.
    H(i, i) = 0.1 / std::fmax(std::fabs(g[static_cast<std::size_t>(i)]), 0.001);
  }
  const double r0 = 0.2 * std::sqrt(static_cast<double>(n));
  double r = r0;
  std::uint64_t resets = 0, rejections = 0;

  // Whatever stopped the run, a point that could not be evaluated is no optimum.
  const auto finish = [&](std::uint64_t k, bool converged) {
    return SearchResult{std::move(x), f, k, converged && !is_penalty(f)};
  };

  Vec x_new(n);
  Eigen::VectorXd s(size), y(size);
  for (std::uint64_t k = 0; k < maxiter; ++k) {
    if (n == 0 || norm_of(g) < STOP_GRADIENT_NORM) return finish(k, true);
    if (r < COLLAPSED_RADIUS) {
      if (resets >= MAX_RESETS) return finish(k, true);
      ++resets;
      rejections = 0;
      r = r0;  // H is kept: it still holds what the accepted steps taught
    }

    const TrustRegionStep step = trust_region_step(r, H, g);
    for (std::size_t i = 0; i < n; ++i) x_new[i] = x[i] + step.p[i];
    const double f_new = cost(x_new);

    // The radius follows the agreement of actual and predicted reduction,
    // whether or not the step is taken; a NaN ratio leaves it as it is.
    const double rho = (f - f_new) / step.pred;
    if (rho < 0.25) {
      r *= 0.25;
    } else if (rho > 0.75 && std::fabs(step.norm - r) < 1e-6 * r) {
      r = std::fmin(2.0 * r, MAX_RADIUS);
    }

    if (!(rho > 0.1 && std::isfinite(f_new) && f_new < f)) {
      if (++rejections > PATIENT_REJECTIONS) r *= 0.5;
      continue;
    }
    auto g_new = gradient(x_new);
    if (g_new && g_new->size() == n) {
      s = as_vector(step.p);
      y = as_vector(*g_new) - as_vector(g);
      const double sy = s.dot(y);
      // BFGS update of the inverse Hessian, only under positive curvature.
      if (sy > 1e-10) {
        const double rho_s = 1.0 / sy;
        const Eigen::MatrixXd A =
            Eigen::MatrixXd::Identity(size, size) - rho_s * s * y.transpose();
        H = (A * H * A.transpose()).eval() + rho_s * s * s.transpose();
      }
      g = std::move(*g_new);
    }
    std::swap(x, x_new);
    f = f_new;
    rejections = 0;
  }
  return finish(maxiter, n == 0 || norm_of(g) < BUDGET_GRADIENT_NORM);
}

core::Result<StrategyOutcome> fit_trust_region_single(const SarimaxObjective& objective,
                                                      std::span<const double> x0,
                                                      const SarimaxConfig& config,
                                                      std::uint64_t maxiter) {
  const SarimaxObjective work = objective.clone();
  const std::size_t n = x0.size();
  const auto ll0 = work.eval_loglike(x0);
  std::optional<Vec> g0;
  if (ll0) {
    if (auto g = runners::finite_diff_grad_negll(work, x0, FD_STEP); g && g->size() == n) {
      g0 = std::move(*g);
    }
  }
  if (!g0) {
    // No start for the quasi-Newton model: search without derivatives.
    auto nm = runners::run_nelder_mead(objective.clone(), Vec(x0.begin(), x0.end()), maxiter);
    if (!nm) return core::fail(SarimaxError::optimization_failed(nm.error()));
    return StrategyOutcome{std::move(nm->x), nm->f, nm->n_iter,
                           nm->converged && !is_penalty(nm->f), "nelder-mead (fallback)"};
  }

  const PointCost cost = [&work](std::span<const double> x) {
    const auto ll = work.eval_loglike(x);
    return ll ? -*ll : INF;
  };
  const PointGradient gradient = [&work](std::span<const double> x) {
    return runners::finite_diff_grad_negll(work, x, FD_STEP);
  };
  SearchResult run = trust_region_search(cost, gradient, Vec(x0.begin(), x0.end()), -*ll0,
                                         std::move(*g0), maxiter);
  if (config.n_exog > 0) {
    run.f = polish_regression(cost, run.x, run.f, config.k_trend(), config.n_exog, work.endog(),
                              work.exog());
  }
  return StrategyOutcome{std::move(run.x), run.f, run.n_iter, run.converged, "trust-region"};
}

core::Result<StrategyOutcome> fit_profile_trust_region(const SarimaxObjective& objective,
                                                       std::span<const double> x0,
                                                       const SarimaxConfig& config,
                                                       std::uint64_t maxiter,
                                                       bool start_params_given) {
  if (config.n_exog == 0) return fit_trust_region_single(objective, x0, config, maxiter);
  if (objective.exog() == nullptr) {
    return core::fail(SarimaxError::invalid_input(
        "profile-trust-region requires exog columns when n_exog > 0"));
  }
  const ProfiledSarimaxObjective profiled(objective.endog(), *objective.exog(), config);

  // A few full-model steps first place the start where the profile is well
  // behaved; caller start values are taken as they are.
  Vec start(x0.begin(), x0.end());
  std::uint64_t warm_iters = 0;
  if (maxiter >= 2 && !start_params_given) {
    if (auto warm = fit_trust_region_single(objective, x0, config, warm_up_budget(maxiter))) {
      start = std::move(warm->x);
      warm_iters = warm->n_iter;
    }
  }
  Vec z0 = remove_exog_block(start, config);
  const std::uint64_t budget =
      std::max<std::uint64_t>(maxiter > warm_iters ? maxiter - warm_iters : 0, 1);

  const auto e0 = profiled.eval_profiled(z0);
  if (!e0) {
    return core::fail(profile_failure("initial cost failed: " + e0.error()));
  }
  // The analytic gradient is not checked for finiteness where it is made; a
  // NaN entry would poison every later step, so finite differences stand in.
  const PointGradient gradient = [&profiled](std::span<const double> z) -> TextResult<Vec> {
    auto g = profiled.analytical_gradient_negloglike(z);
    if (g && all_finite(*g)) return g;
    return runners::finite_diff_grad_profile_negll(profiled, z, FD_STEP);
  };
  auto g0 = gradient(z0);
  if (!g0) {
    return core::fail(profile_failure("initial gradient failed: " + g0.error()));
  }
  if (g0->size() != z0.size()) {
    return core::fail(profile_failure("gradient len " + std::to_string(g0->size()) + " != n " +
                                      std::to_string(z0.size())));
  }

  const PointCost cost = [&profiled](std::span<const double> z) {
    const auto e = profiled.eval_profiled(z);
    return e ? e->negloglike : INF;
  };
  SearchResult run = trust_region_search(cost, gradient, std::move(z0), e0->negloglike,
                                         std::move(*g0), budget);
  auto last = profiled.eval_profiled(run.x);
  if (!last) return core::fail(SarimaxError::optimization_failed(last.error()));
  return StrategyOutcome{std::move(last->x_full), run.f, warm_iters + run.n_iter, run.converged,
                         "profile-trust-region"};
}

}  // namespace peltaro::estimation::trust_region
