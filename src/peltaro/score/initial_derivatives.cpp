#include "peltaro/score/initial_derivatives.hpp"

namespace peltaro::score {

InitialDerivatives initial_derivatives(const core::StateSpace& ss, const core::KalmanInit& init,
                                       const SystemDerivatives& derivs) {
  const std::size_t k = derivs.n_params;
  const auto m = static_cast<Eigen::Index>(ss.k_states);
  InitialDerivatives out;
  out.da0.assign(k, Eigen::VectorXd::Zero(m));
  out.dp0.assign(k, Eigen::MatrixXd::Zero(m, m));
  out.dp0_nonzero.assign(k, false);
  if (!init.stationary_block) return out;

  const auto s0 = static_cast<Eigen::Index>(init.stationary_block->first);
  const auto b = static_cast<Eigen::Index>(init.stationary_block->second);
  const Eigen::MatrixXd Tb = ss.transition.block(s0, s0, b, b);
  const Eigen::MatrixXd Tbt = Tb.transpose();
  const Eigen::MatrixXd P0b = init.p0.block(s0, s0, b, b);
  const Eigen::VectorXd mu = init.a0.segment(s0, b);
  // The mean is read at time 0 under the same rule the initialisation uses.
  const bool has_intercept = !ss.state_intercept.empty();

  Eigen::FullPivLU<Eigen::MatrixXd> lu(Eigen::MatrixXd::Identity(b, b) - Tb);
  lu.setThreshold(0.0);
  const bool mean_solvable = lu.isInvertible();

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
    if (mean_moves && mean_solvable) {
      const Eigen::VectorXd dmu = lu.solve(rhs_mean);
      if (dmu.allFinite()) out.da0[j].segment(s0, b) = dmu;
    }
  }
  return out;
}

}  // namespace peltaro::score
