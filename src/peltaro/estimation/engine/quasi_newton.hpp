#pragma once
// Line-searched quasi-Newton descent. The curvature model (`Memory`) turns a
// gradient into a search direction −H·g and learns from each step's pair
// s = x_new − x, y = g_new − g; everything else — the start, the More-Thuente
// step and the convergence test — is shared by BFGS and L-BFGS.

#include <Eigen/Core>
#include <cmath>
#include <concepts>
#include <utility>
#include <vector>

#include "peltaro/estimation/engine/inverse_hessian.hpp"
#include "peltaro/estimation/engine/iter_state.hpp"
#include "peltaro/estimation/engine/limited_memory.hpp"
#include "peltaro/estimation/engine/more_thuente.hpp"
#include "peltaro/estimation/engine/problem.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation::engine {

template <class M>
concept CurvatureMemory = requires(M& memory, Eigen::Index n, const Eigen::VectorXd& v,
                                   Eigen::VectorXd& out) {
  { memory.start(n) } -> std::same_as<TextResult<void>>;
  memory.direction(v, out);
  memory.update(v, v);
};

struct QuasiNewtonOptions {
  double grad_tolerance = 1e-5;  // on the Euclidean norm of the gradient
  double cost_tolerance = 1e-9;  // on |cost `cost_window` iterations back − cost|
  MoreThuenteOptions line_search;
  std::size_t cost_window = 1;
};

template <CurvatureMemory Memory>
class QuasiNewton {
 public:
  explicit QuasiNewton(Memory memory, QuasiNewtonOptions options = {})
      : memory_(std::move(memory)), options_(options) {}

  // Cost and gradient at the start point `state.x`.
  template <GradientFunction P>
  TextResult<void> init(const P& problem, IterState& state) {
    if (auto ok = memory_.start(state.x.size()); !ok) return ok;
    const auto cost = cost_and_gradient(problem, state.x, state.grad);
    if (!cost) return fail_text(cost.error());
    state.cost = *cost;
    direction_.resize(state.x.size());
    step_.resize(state.x.size());
    change_.resize(state.x.size());
    return {};
  }

  template <GradientFunction P>
  TextResult<void> next_iter(const P& problem, IterState& state) {
    memory_.direction(state.grad, direction_);
    if (auto found = more_thuente_search(problem, options_.line_search, state.x, state.cost,
                                         state.grad, direction_, next_);
        !found) {
      return found;
    }
    step_ = next_.x - state.x;
    change_ = next_.g - state.grad;
    memory_.update(step_, change_);
    state.x.swap(next_.x);
    state.grad.swap(next_.g);
    if (options_.cost_window > 1) {
      if (earlier_.size() == options_.cost_window) earlier_.erase(earlier_.begin());
      earlier_.push_back(state.cost);
    }
    state.cost = next_.cost;
    return {};
  }

  [[nodiscard]] bool terminate(const IterState& state) const {
    if (state.grad.norm() < options_.grad_tolerance) return true;
    if (options_.cost_window <= 1) {
      return std::abs(state.prev_cost - state.cost) < options_.cost_tolerance;
    }
    return earlier_.size() == options_.cost_window &&
           std::abs(earlier_.front() - state.cost) < options_.cost_tolerance;
  }

  [[nodiscard]] const Memory& memory() const { return memory_; }

 private:
  Memory memory_;
  QuasiNewtonOptions options_;
  Eigen::VectorXd direction_, step_, change_;
  LineSearchPoint next_;
  std::vector<double> earlier_;  // the costs before the last `cost_window` steps, oldest first
};

using Bfgs = QuasiNewton<InverseHessian>;
using Lbfgs = QuasiNewton<LimitedMemory>;

}  // namespace peltaro::estimation::engine
