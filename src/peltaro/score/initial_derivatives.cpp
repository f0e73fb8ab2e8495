#include "peltaro/score/initial_derivatives.hpp"

#include <optional>

namespace peltaro::score {

InitialDerivatives initial_derivatives(const core::StateSpace& ss, const core::KalmanInit& init,
                                       const SystemDerivatives& derivs) {
  const std::size_t k = derivs.n_params;
  const auto m = static_cast<Eigen::Index>(ss.k_states);
  InitialDerivatives out;
  out.da0.assign(k, Eigen::VectorXd::Zero(m));
  out.dp0.assign(k, Eigen::MatrixXd::Zero(m, m));
  out.dp0_nonzero.assign(k, false);
  if (!init.stationary_block || k == 0) return out;

  const auto s0 = static_cast<Eigen::Index>(init.stationary_block->first);
  const auto b = static_cast<Eigen::Index>(init.stationary_block->second);
  const Eigen::MatrixXd Tb = ss.transition.block(s0, s0, b, b);
  const Eigen::MatrixXd Tbt = Tb.transpose();
  const Eigen::MatrixXd P0b = init.p0.block(s0, s0, b, b);
  const Eigen::VectorXd mu = init.a0.segment(s0, b);
  // The mean is read at time 0 under the same rule the initialisation uses.
  const bool has_intercept = !ss.state_intercept.empty();

  // I − T_b is factored only once some parameter moves the mean.
  std::optional<Eigen::FullPivLU<Eigen::MatrixXd>> lu;

  Eigen::MatrixXd dTb(b, b);
  Eigen::VectorXd rhs_mean(b);
  for (std::size_t j = 0; j < k; ++j) {
    Eigen::MatrixXd rhs = Eigen::MatrixXd::Zero(b, b);
    bool contributed = false;
    rhs_mean.setZero();
    bool mean_moves = false;

    const auto& dt = derivs.dt_entries[j];
    if (!dt.empty()) {
      dTb.setZero();
      bool inside = false;
      for (const auto& e : dt) {
        const auto r = static_cast<Eigen::Index>(e.row);
        const auto c = static_cast<Eigen::Index>(e.col);
        if (r >= s0 && r < s0 + b && c >= s0 && c < s0 + b) {
          dTb(r - s0, c - s0) = e.value;
          inside = true;
        }
      }
      if (inside) {
        const Eigen::MatrixXd U = (dTb * P0b) * Tbt;
        rhs += U.transpose() + U;
        contributed = true;
        rhs_mean.noalias() += dTb * mu;
        mean_moves = true;
      }
    }
    if (derivs.drqr[j]) {
      rhs += derivs.drqr[j]->block(s0, s0, b, b);
      contributed = true;
    }
    if (contributed) {
      if (auto X = core::solve_lyapunov_general(Tb, rhs)) {
        out.dp0[j].block(s0, s0, b, b) = *X;
        out.dp0_nonzero[j] = !X->isZero(0.0);
      }
    }
    const Vec& dc = derivs.dstate_intercept[j];
    if (has_intercept && !dc.empty()) {
      // The trend enters state k_diff only.
      const auto kd = static_cast<Eigen::Index>(ss.k_diff);
      if (kd >= s0 && kd < s0 + b) rhs_mean(kd - s0) += dc[0];
      mean_moves = true;
    }
    if (mean_moves && !lu) {
      lu.emplace(Eigen::MatrixXd::Identity(b, b) - Tb);
      lu->setThreshold(0.0);
    }
    if (mean_moves && lu->isInvertible()) {
      const Eigen::VectorXd dmu = lu->solve(rhs_mean);
      if (dmu.allFinite()) out.da0[j].segment(s0, b) = dmu;
    }
  }
  return out;
}

}  // namespace peltaro::score

namespace peltaro::score {

Vec initial_state_adjoint(const core::StateSpace& ss, const core::KalmanInit& init,
                          const SystemDerivatives& derivs, const Eigen::VectorXd& abar,
                          const Eigen::MatrixXd& Pbar) {
  const std::size_t k = derivs.n_params;
  Vec out(k, 0.0);
  if (!init.stationary_block) return out;

  const auto s0 = static_cast<Eigen::Index>(init.stationary_block->first);
  const auto b = static_cast<Eigen::Index>(init.stationary_block->second);
  const Eigen::MatrixXd Tb = ss.transition.block(s0, s0, b, b);
  const bool has_intercept = !ss.state_intercept.empty();
  auto inside = [&](const SparseTEntry& e) {
    const auto r = static_cast<Eigen::Index>(e.row);
    const auto c = static_cast<Eigen::Index>(e.col);
    return r >= s0 && r < s0 + b && c >= s0 && c < s0 + b;
  };

  // Covariance: with Λ = T_b'·Λ·T_b + P̄_b, ⟨P̄_b, X_j⟩ = ⟨Λ, Q_j⟩ for the
  // X_j = T_b·X_j·T_b' + Q_j that the parameters' dP0 solve, and
  // ⟨Λ, U + U'⟩ = 2·Σ v·(P0_b·T_b'·Λ)(c, r) over the entries (r, c, v) of dT_b.
  bool any_dt = false;
  bool any_drqr = false;
  bool any_trend = false;
  for (std::size_t j = 0; j < k; ++j) {
    for (const auto& e : derivs.dt_entries[j]) any_dt = any_dt || inside(e);
    any_drqr = any_drqr || derivs.drqr[j].has_value();
    any_trend = any_trend || (has_intercept && !derivs.dstate_intercept[j].empty());
  }
  if (any_dt || any_drqr) {
    // A block without AR terms is a shift, which reversing the order of the
    // states transposes (T_b' = J·T_b·J): Λ is then J·X·J for the X that
    // solves X = T_b·X·T_b' + J·P̄_b·J, which the solver forms as a finite sum.
    const Eigen::MatrixXd Pb = Pbar.block(s0, s0, b, b);
    const Eigen::MatrixXd reversed = Tb.reverse();
    std::optional<Eigen::MatrixXd> lambda;
    if (reversed == Tb.transpose()) {
      lambda = core::solve_lyapunov_general(Tb, Pb.reverse());
      if (lambda) lambda = lambda->reverse().eval();
    } else {
      lambda = core::solve_lyapunov_general(Tb.transpose(), Pb);
    }
    if (lambda) {
      Eigen::MatrixXd M;
      if (any_dt) M = init.p0.block(s0, s0, b, b) * (Tb.transpose() * *lambda);
      for (std::size_t j = 0; j < k; ++j) {
        double acc = 0.0;
        for (const auto& e : derivs.dt_entries[j]) {
          if (!inside(e)) continue;
          acc += 2.0 * e.value *
                 M(static_cast<Eigen::Index>(e.col) - s0, static_cast<Eigen::Index>(e.row) - s0);
        }
        if (derivs.drqr[j]) acc += lambda->cwiseProduct(derivs.drqr[j]->block(s0, s0, b, b)).sum();
        out[j] += acc;
      }
    }
  }

  // Mean: μ = (I − T_b)⁻¹·c_b, so ā_b'·dμ = λ'·(dc_b + dT_b·μ) with
  // (I − T_b)'·λ = ā_b.
  if (!any_dt && !any_trend) return out;
  Eigen::FullPivLU<Eigen::MatrixXd> lu(Eigen::MatrixXd::Identity(b, b) - Tb);
  lu.setThreshold(0.0);
  if (!lu.isInvertible()) return out;
  const Eigen::VectorXd lambda = lu.transpose().solve(abar.segment(s0, b));
  if (!lambda.allFinite()) return out;
  const Eigen::VectorXd mu = init.a0.segment(s0, b);
  const auto kd = static_cast<Eigen::Index>(ss.k_diff);
  for (std::size_t j = 0; j < k; ++j) {
    for (const auto& e : derivs.dt_entries[j]) {
      if (!inside(e)) continue;
      out[j] += e.value * lambda[static_cast<Eigen::Index>(e.row) - s0] *
                mu[static_cast<Eigen::Index>(e.col) - s0];
    }
    const Vec& dc = derivs.dstate_intercept[j];
    if (has_intercept && !dc.empty() && kd >= s0 && kd < s0 + b) out[j] += lambda[kd - s0] * dc[0];
  }
  return out;
}

}  // namespace peltaro::score
