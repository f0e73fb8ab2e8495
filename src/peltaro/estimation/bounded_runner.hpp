#pragma once
// The bounded runner: L-BFGS-B on the negative log-likelihood of a SARIMAX
// model over its unconstrained parameter vector, inside the box its
// configuration asks for, under a budget of value-and-gradient requests.

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>

#include "peltaro/estimation/lbfgsb_driver.hpp"
#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/trend_coordinates.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::runners {

// The box of each coordinate, in flat-vector order. Trend and regression
// coefficients are free. An AR or MA block whose transform keeps the model
// stationary or invertible needs no box; entry i of an order-k block used as
// it stands is kept inside ±binomial(k, i)·0.999, the smallest box that holds
// every stationary (invertible) polynomial of that order. The log-variance
// is bounded below by −50. Length n_params.
BoundsList compute_bounds(const SarimaxConfig& config);

inline constexpr LbfgsbOptions RUNNER_OPTIONS{.m = 10, .factr = 1e7, .pgtol = 1e-5, .iprint = -1};

// What the runner needs of an objective.
template <class O>
concept RunnerObjective = requires(const O& o, std::span<const double> x) {
  { o.clone() } -> std::same_as<O>;
  { o.eval_loglike(x) } -> std::same_as<TextResult<double>>;
  { o.eval_negloglike_with_gradient(x) } -> std::same_as<TextResult<std::pair<double, Vec>>>;
};

// The runner's answer to each value-and-gradient request, on its own copy of
// the objective. Every request within the budget counts once, whatever it
// costs: the analytic value and gradient, or, where either is unusable, a
// forward-difference gradient of the log-likelihood (n + 1 passes, not
// counted). Requests past the budget are answered with the value alone and a
// zero gradient, which stops the routine at its next iterate.
template <RunnerObjective Objective>
class BudgetedEvaluation {
 public:
  BudgetedEvaluation(Objective objective, std::size_t max_evals, std::size_t n)
      : objective_(std::move(objective)), budget_(max_evals), probe_(n) {}

  double operator()(std::span<const double> x, std::span<double> g) {
    if (!budget_.take()) {
      std::ranges::fill(g, 0.0);
      return negloglike(x).value_or(PENALTY);
    }
    auto analytic = objective_.eval_negloglike_with_gradient(x);
    if (analytic && std::isfinite(analytic->first) && all_finite(analytic->second)) {
      if (analytic->second.size() != g.size()) {
        throw std::logic_error("objective gradient length differs from the point's");
      }
      std::ranges::copy(analytic->second, g.begin());
      return analytic->first;
    }
    return forward_difference(x, g);
  }

  [[nodiscard]] std::size_t evals() const { return budget_.evals(); }
  [[nodiscard]] bool budget_exhausted() const { return budget_.exhausted(); }

 private:
  static bool all_finite(std::span<const double> v) {
    return std::ranges::all_of(v, [](double e) { return std::isfinite(e); });
  }

  // −loglike where the log-likelihood is finite.
  [[nodiscard]] std::optional<double> negloglike(std::span<const double> x) const {
    const auto ll = objective_.eval_loglike(x);
    if (ll && std::isfinite(*ll)) return -*ll;
    return std::nullopt;
  }

  // A coordinate whose step cannot be evaluated gets a zero slope; a point
  // that cannot be evaluated gets the penalty and a zero gradient.
  double forward_difference(std::span<const double> x, std::span<double> g) {
    const auto f0 = negloglike(x);
    if (!f0) {
      std::ranges::fill(g, 0.0);
      return PENALTY;
    }
    probe_.assign(x.begin(), x.end());
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double h = (std::fabs(x[i]) + 1.0) * 1e-7;
      probe_[i] = x[i] + h;
      const double fi = negloglike(probe_).value_or(*f0);
      probe_[i] = x[i];
      const double slope = (fi - *f0) / h;
      g[i] = std::isfinite(slope) ? slope : 0.0;
    }
    return *f0;
  }

  Objective objective_;
  RequestBudget budget_;
  Vec probe_;  // the point with one coordinate stepped
};

// The runner's closure seen through the trend's search coordinates: the
// routine moves in those, the objective is asked at its own.
template <class Closure>
class TrendCoordinatesEvaluation {
 public:
  TrendCoordinatesEvaluation(Closure inner, TrendCoordinates form, std::size_t n)
      : inner_(std::move(inner)), form_(std::move(form)), x_(n) {}

  double operator()(std::span<const double> z, std::span<double> g) {
    form_.to_objective(z, x_);
    const double f = inner_(x_, g);
    last_slope_ = 0.0;
    for (const double gi : g) last_slope_ = std::fmax(last_slope_, std::fabs(gi));
    form_.gradient_to_search(z, g);
    return f;
  }

  [[nodiscard]] const Closure& inner() const { return inner_; }
  // The largest entry of the last gradient, in the objective's coordinates:
  // the search's own may hide a slope (a mean-form trend near a unit root
  // scales the slope's gradient by φ(1)).
  [[nodiscard]] double last_slope() const { return last_slope_; }

 private:
  Closure inner_;
  TrendCoordinates form_;
  Vec x_;
  double last_slope_ = 0.0;
};

// Minimises the objective from x0 inside `bounds` with at most `max_evals`
// counted requests. The count is the run's n_iter. A run converges only when
// the routine's own convergence test stopped it within the budget at a point
// that could be evaluated: a run that found nothing but the penalty has not
// converged, however it ended. A routine error gives "L-BFGS-B failed: {}".
// A trend is searched over in the coordinates of `TrendCoordinates`.
template <RunnerObjective Objective>
TextResult<RunnerResult> run_lbfgsb(const Objective& objective, Vec x0, BoundsList bounds,
                                    std::size_t max_evals) {
  using Budgeted = BudgetedEvaluation<Objective>;
  using Closure = TrendCoordinatesEvaluation<Budgeted>;
  const std::size_t n = x0.size();
  const TrendCoordinates form = [&] {
    if constexpr (requires { objective.config(); }) {
      return TrendCoordinates(objective.config(), x0, objective.endog().size());
    }
    return TrendCoordinates(SarimaxConfig{}, {}, 0);
  }();
  // The routine projects its start into the box; projecting first lets the
  // trend's coordinates start from the projected AR coefficients, and a run
  // that never moves returns exactly the projected start.
  for (std::size_t i = 0; i < n && i < bounds.size(); ++i) {
    if (bounds[i].first && x0[i] < *bounds[i].first) x0[i] = *bounds[i].first;
    if (bounds[i].second && x0[i] > *bounds[i].second) x0[i] = *bounds[i].second;
  }
  const Vec z0 = form.to_search(x0);
  LbfgsbState<Closure> state(z0, Closure(Budgeted(objective.clone(), max_evals, n), form, n),
                             std::move(bounds), RUNNER_OPTIONS);
  const auto task = state.minimize();
  if (!task) return fail_text("L-BFGS-B failed: " + task.error());
  const auto& p = state.problem();
  const Budgeted& evaluation = p.eval_fg.inner();
  const bool converged = task_code::is_convergence(*task) && !evaluation.budget_exhausted() &&
                         !is_penalty(p.f);
  if (p.x != z0) form.to_objective(p.x, x0);
  // A run ends at the point of its last request.
  return RunnerResult{std::move(x0), p.f, evaluation.evals(), converged, p.eval_fg.last_slope()};
}

extern template TextResult<RunnerResult> run_lbfgsb<SarimaxObjective>(const SarimaxObjective&, Vec,
                                                                      BoundsList, std::size_t);

}  // namespace peltaro::estimation::runners
