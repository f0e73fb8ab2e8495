#include "peltaro/estimation/unbounded_runners.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "peltaro/estimation/finite_difference.hpp"

namespace peltaro::estimation::runners {

std::vector<Vec> nelder_mead_simplex(std::span<const double> x0) {
  std::vector<Vec> simplex(x0.size() + 1, Vec(x0.begin(), x0.end()));
  for (std::size_t i = 0; i < x0.size(); ++i) {
    const double xi = x0[i];
    simplex[i + 1][i] = std::fabs(xi) > 1e-8 ? xi + 0.05 * xi : xi + 0.00025;
  }
  return simplex;
}

Eigen::MatrixXd bfgs_initial_inverse_hessian(const TextResult<Vec>& g0, std::size_t n) {
  const auto size = static_cast<Eigen::Index>(n);
  Eigen::MatrixXd h = Eigen::MatrixXd::Zero(size, size);
  const bool analytic = g0 && g0->size() == n;
  for (Eigen::Index i = 0; i < size; ++i) {
    const double gi = analytic ? (*g0)[static_cast<std::size_t>(i)] : 1.0;
    // fmax drops a NaN operand, so a NaN entry is floored like a zero.
    h(i, i) = 0.1 / std::fmax(std::fabs(gi), 0.001);
  }
  return h;
}

TextResult<RunnerResult> read_outcome(std::string_view solver,
                                      TextResult<engine::Outcome> outcome) {
  if (!outcome) return fail_text(std::string(solver) + " failed: " + outcome.error());
  engine::IterState& state = outcome->state;
  if (!state.best_x) return fail_text(std::string(solver) + ": no best parameter found");
  // A flat simplex or a zero gradient on a plateau of penalties satisfies the
  // solver's own test, yet no point there could be evaluated.
  const bool converged = outcome->reason != engine::Termination::MaxItersReached &&
                         !is_penalty(state.best_cost);
  return RunnerResult{Vec(state.best_x->begin(), state.best_x->end()), state.best_cost, state.iter,
                      converged, std::nullopt};
}

TextResult<RunnerResult> run_nelder_mead(SarimaxObjective objective, Vec x0,
                                         std::uint64_t max_iters) {
  return nelder_mead_search(objective, x0, max_iters);
}

TextResult<RunnerResult> run_bfgs(SarimaxObjective objective, Vec x0, std::uint64_t max_iters) {
  Eigen::MatrixXd h0 =
      bfgs_initial_inverse_hessian(objective.analytical_gradient_negloglike(x0), x0.size());
  return bfgs_search(objective, x0, std::move(h0), max_iters);
}

TextResult<RunnerResult> run_bfgs_continuation(SarimaxObjective objective, Vec x0,
                                               Eigen::MatrixXd h0, std::uint64_t max_iters) {
  return quasi_newton_search(
      "BFGS", objective, engine::Bfgs(engine::InverseHessian(std::move(h0)), CONTINUATION_OPTIONS),
      x0, max_iters, /*keep_best_on_failure=*/true);
}

std::optional<Eigen::MatrixXd> gradient_difference_hessian(const SarimaxObjective& objective,
                                                           std::span<const double> x,
                                                           std::span<const double> g) {
  const std::size_t n = x.size();
  const auto size = static_cast<Eigen::Index>(n);
  Eigen::MatrixXd h(size, size);
  Vec moved(x.begin(), x.end());
  for (std::size_t i = 0; i < n; ++i) {
    moved[i] = x[i] + 1e-5 * std::fmax(1.0, std::fabs(x[i]));
    const double step = moved[i] - x[i];
    const auto gi = objective.analytical_gradient_negloglike(moved);
    moved[i] = x[i];
    if (!gi || gi->size() != n) return std::nullopt;
    for (std::size_t j = 0; j < n; ++j) {
      const double d = ((*gi)[j] - g[j]) / step;
      if (!std::isfinite(d)) return std::nullopt;
      h(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(i)) = d;
    }
  }
  return Eigen::MatrixXd(0.5 * (h + h.transpose()));
}

TextResult<RunnerResult> run_lbfgs(SarimaxObjective objective, Vec x0, std::uint64_t max_iters) {
  return lbfgs_search(objective, x0, max_iters);
}

TextResult<Vec> finite_diff_grad_negll(const SarimaxObjective& objective,
                                       std::span<const double> x, double eps) {
  return central_difference(x, eps, [&](std::span<const double> w) -> TextResult<double> {
    const auto ll = objective.eval_loglike(w);
    if (!ll) return fail_text(ll.error());
    return -*ll;
  });
}

TextResult<Vec> finite_diff_grad_profile_negll(const ProfiledSarimaxObjective& objective,
                                               std::span<const double> x, double eps) {
  return central_difference(x, eps, [&](std::span<const double> w) -> TextResult<double> {
    const auto e = objective.eval_profiled(w);
    if (!e) return fail_text(e.error());
    return e->negloglike;
  });
}

}  // namespace peltaro::estimation::runners
