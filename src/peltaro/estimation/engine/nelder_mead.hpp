#pragma once
// Derivative-free simplex search. The vertices are kept ordered by cost,
// best first; ties keep their earlier order, so a simplex of equal costs
// reports its first vertex.

#include <Eigen/Core>
#include <cmath>
#include <vector>

#include "peltaro/estimation/engine/iter_state.hpp"
#include "peltaro/estimation/engine/problem.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::engine {

struct NelderMeadOptions {
  double alpha = 1.0;          // reflection
  double gamma = 2.0;          // expansion
  double rho = 0.5;            // contraction
  double sigma = 0.5;          // shrink toward the best vertex
  double sd_tolerance = 1e-6;  // on the sample standard deviation of the vertex costs
};

class NelderMead {
 public:
  struct Vertex {
    Eigen::VectorXd x;
    double cost = 0.0;
  };

  explicit NelderMead(std::vector<Eigen::VectorXd> simplex, NelderMeadOptions options = {});

  // Evaluates every vertex in simplex order, then orders them.
  template <CostFunction P>
  TextResult<void> init(const P& problem, IterState& state);
  // One reflection, expansion, contraction or shrink.
  template <CostFunction P>
  TextResult<void> next_iter(const P& problem, IterState& state);
  // The spread of the vertex costs is below the tolerance.
  [[nodiscard]] bool terminate(const IterState& state) const;

  [[nodiscard]] const std::vector<Vertex>& vertices() const { return vertices_; }

 private:
  TextResult<void> check_simplex() const;
  void order_vertices();
  void compute_centroid();
  void publish(IterState& state) const;
  // The worst vertex takes the trial point (exchanged, not copied).
  void replace_worst(Eigen::VectorXd& x, double cost);

  NelderMeadOptions options_;
  std::vector<Vertex> vertices_;
  Eigen::VectorXd centroid_, reflected_, trial_;
};

// Sample standard deviation (divisor count − 1) by a running mean, so costs
// near the largest double do not overflow an intermediate sum; a single
// value has spread 0.
double cost_spread(const std::vector<NelderMead::Vertex>& vertices);

template <CostFunction P>
TextResult<double> checked_cost(const P& problem, const Eigen::VectorXd& x) {
  const double cost = problem.cost(view(x));
  // A NaN cannot be ordered against the other vertices.
  if (std::isnan(cost)) return fail_text("cost is NaN at a trial point");
  return cost;
}

template <CostFunction P>
TextResult<void> NelderMead::init(const P& problem, IterState& state) {
  if (auto ok = check_simplex(); !ok) return ok;
  for (Vertex& v : vertices_) {
    const auto cost = checked_cost(problem, v.x);
    if (!cost) return fail_text(cost.error());
    v.cost = *cost;
  }
  const Eigen::Index n = vertices_.front().x.size();
  centroid_.resize(n);
  reflected_.resize(n);
  trial_.resize(n);
  order_vertices();
  publish(state);
  return {};
}

template <CostFunction P>
TextResult<void> NelderMead::next_iter(const P& problem, IterState& state) {
  const std::size_t n = vertices_.size() - 1;
  const Vertex& best = vertices_.front();
  // A lone vertex (no coordinates) has no second worst; its spread is 0, so
  // the executor never steps it.
  const double second_worst = vertices_[n == 0 ? 0 : n - 1].cost;
  compute_centroid();

  reflected_ = centroid_ + options_.alpha * (centroid_ - vertices_[n].x);
  const auto f_reflected = checked_cost(problem, reflected_);
  if (!f_reflected) return fail_text(f_reflected.error());

  if (best.cost <= *f_reflected && *f_reflected < second_worst) {
    replace_worst(reflected_, *f_reflected);
  } else if (*f_reflected < best.cost) {
    trial_ = centroid_ + options_.gamma * (reflected_ - centroid_);
    const auto f_expanded = checked_cost(problem, trial_);
    if (!f_expanded) return fail_text(f_expanded.error());
    if (*f_expanded < *f_reflected) {
      replace_worst(trial_, *f_expanded);
    } else {
      replace_worst(reflected_, *f_reflected);
    }
  } else {
    trial_ = centroid_ + options_.rho * (vertices_[n].x - centroid_);
    const auto f_contracted = checked_cost(problem, trial_);
    if (!f_contracted) return fail_text(f_contracted.error());
    if (*f_contracted < vertices_[n].cost) {
      replace_worst(trial_, *f_contracted);
    } else {
      for (std::size_t i = 1; i <= n; ++i) {
        Vertex& v = vertices_[i];
        v.x = vertices_.front().x + options_.sigma * (v.x - vertices_.front().x);
        const auto cost = checked_cost(problem, v.x);
        if (!cost) return fail_text(cost.error());
        v.cost = *cost;
      }
    }
  }
  order_vertices();
  publish(state);
  return {};
}

}  // namespace peltaro::estimation::engine
