#pragma once
// Minimisers over the whole unconstrained parameter vector, without bounds:
// Nelder-Mead, BFGS and L-BFGS on the engine, and central-difference
// gradients of the full and the profiled negative log-likelihood.
//
// A runner owns the objective it is handed (a fresh clone) and its start.
// Its iteration count leaves out the initial evaluation. `converged` means the
// solver's own test ended the run at a point that could be evaluated: a run
// stopped by its iteration limit, or whose best cost is still the penalty,
// has not converged.

#include <Eigen/Core>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "peltaro/estimation/engine/executor.hpp"
#include "peltaro/estimation/engine/nelder_mead.hpp"
#include "peltaro/estimation/engine/quasi_newton.hpp"
#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/profiled_objective.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::runners {

TextResult<RunnerResult> run_nelder_mead(SarimaxObjective objective, Vec x0, std::uint64_t max_iters);
TextResult<RunnerResult> run_bfgs(SarimaxObjective objective, Vec x0, std::uint64_t max_iters);
TextResult<RunnerResult> run_lbfgs(SarimaxObjective objective, Vec x0, std::uint64_t max_iters);

// BFGS that carries on from the end of another search. That search has
// already made every large gain, so the first steps of a fresh curvature
// model gain little, and the ordinary test on one step's change of cost
// would stop it before its model has learnt the curvature (a first step of
// 8e-10 before 0.02 more over 36 steps). Here the change over the last five
// steps is what must fall below 1e-7; a gradient norm below 1e-5 or the
// limit also stops it. A step that fails (no lower point along the
// direction) ends the run, converged, at its best point.
inline constexpr engine::QuasiNewtonOptions CONTINUATION_OPTIONS{
    .grad_tolerance = 1e-5, .cost_tolerance = 1e-7, .line_search = {}, .cost_window = 5};
TextResult<RunnerResult> run_bfgs_continuation(SarimaxObjective objective, Vec x0,
                                               Eigen::MatrixXd h0, std::uint64_t max_iters);

// The Hessian of −loglike at x by forward differences of the analytic
// gradient (g is the gradient at x), symmetrised; empty when a gradient
// cannot be computed or a difference is not finite.
std::optional<Eigen::MatrixXd> gradient_difference_hessian(const SarimaxObjective& objective,
                                                           std::span<const double> x,
                                                           std::span<const double> g);

// Gradient of −loglike by central differences of `eval_loglike`.
TextResult<Vec> finite_diff_grad_negll(const SarimaxObjective& objective,
                                       std::span<const double> x, double eps);
// Gradient of the profiled −loglike over the profiled vector.
TextResult<Vec> finite_diff_grad_profile_negll(const ProfiledSarimaxObjective& objective,
                                               std::span<const double> x, double eps);

// The starting simplex: x0, then for each coordinate i a copy of x0 with x_i
// moved by 5% of itself, or by 0.00025 when |x_i| ≤ 1e-8 (NaN included).
std::vector<Vec> nelder_mead_simplex(std::span<const double> x0);

// BFGS's start inverse Hessian: diagonal 0.1 / max(|g0_i|, 0.001) of the
// analytic start gradient, a NaN entry counting as 0 (giving 100); when the
// gradient could not be computed, n ones stand in for it (giving 0.1).
Eigen::MatrixXd bfgs_initial_inverse_hessian(const TextResult<Vec>& g0, std::size_t n);

// The engine's outcome as a runner result, engine failures prefixed with the
// solver's name.
TextResult<RunnerResult> read_outcome(std::string_view solver, TextResult<engine::Outcome> outcome);

// The searches behind the runners, on any problem with the engine's interface.
// Nelder-Mead from a given simplex (vertex 0 the start) under given settings.
template <engine::CostFunction P>
TextResult<RunnerResult> nelder_mead_search(const P& problem, const std::vector<Vec>& vertices,
                                            const engine::NelderMeadOptions& options,
                                            std::uint64_t max_iters) {
  std::vector<Eigen::VectorXd> simplex;
  for (const Vec& vertex : vertices) {
    simplex.emplace_back(Eigen::Map<const Eigen::VectorXd>(vertex.data(),
                                                           static_cast<Eigen::Index>(vertex.size())));
  }
  engine::NelderMead solver(std::move(simplex), options);
  engine::IterState state;
  state.max_iters = max_iters;
  return read_outcome("Nelder-Mead", engine::execute(problem, solver, std::move(state)));
}

// The runner's search: its simplex and settings.
template <engine::CostFunction P>
TextResult<RunnerResult> nelder_mead_search(const P& problem, std::span<const double> x0,
                                            std::uint64_t max_iters) {
  return nelder_mead_search(problem, nelder_mead_simplex(x0), engine::NelderMeadOptions{},
                            max_iters);
}

template <engine::GradientFunction P, class Solver>
TextResult<RunnerResult> quasi_newton_search(std::string_view name, const P& problem, Solver solver,
                                             std::span<const double> x0, std::uint64_t max_iters,
                                             bool keep_best_on_failure = false) {
  engine::IterState state;
  state.x = Eigen::Map<const Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
  state.max_iters = max_iters;
  state.keep_best_on_failure = keep_best_on_failure;
  return read_outcome(name, engine::execute(problem, solver, std::move(state)));
}

template <engine::GradientFunction P>
TextResult<RunnerResult> bfgs_search(const P& problem, std::span<const double> x0,
                                     Eigen::MatrixXd h0, std::uint64_t max_iters) {
  return quasi_newton_search("BFGS", problem, engine::Bfgs(engine::InverseHessian(std::move(h0))),
                             x0, max_iters);
}

template <engine::GradientFunction P>
TextResult<RunnerResult> lbfgs_search(const P& problem, std::span<const double> x0,
                                      std::uint64_t max_iters) {
  return quasi_newton_search("L-BFGS", problem, engine::Lbfgs(engine::LimitedMemory(10)), x0,
                             max_iters);
}

}  // namespace peltaro::estimation::runners
