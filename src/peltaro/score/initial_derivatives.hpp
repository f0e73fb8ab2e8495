#pragma once
// Derivatives of the initial state with respect to every parameter.
//
// Only the stationary block depends on the parameters. Its covariance solves
// P0 = T_b·P0·T_b' + (RQR)_b, so dP0 solves
//   X = T_b·X·T_b' + U + U' + dRQR_b,   U = dT_b·P0_b·T_b'.
// Its mean is μ = (I − T_b)⁻¹·c_b (c_b: the block's state intercept at time 0),
// so dμ = (I − T_b)⁻¹·(dc_b + dT_b·μ). Differencing states are diffuse with a
// fixed prior and contribute nothing.

#include <Eigen/Dense>
#include <vector>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/score/system_derivatives.hpp"

namespace peltaro::score {

struct InitialDerivatives {
  std::vector<Eigen::VectorXd> da0;  // k vectors of m
  std::vector<Eigen::MatrixXd> dp0;  // k matrices m × m
  // false where dp0[j] is zero: the parameter then never moves the covariance
  // unless it moves T or RQR.
  std::vector<bool> dp0_nonzero;
};

// A Lyapunov solve that fails leaves only that parameter's dP0 at zero; a
// singular I − T_b leaves the mean derivatives at zero.
InitialDerivatives initial_derivatives(const core::StateSpace& ss, const core::KalmanInit& init,
                                       const SystemDerivatives& derivs);

// Σ over the initial state of ā'·da0_j + ⟨P̄, dP0_j⟩ for every parameter,
// without forming da0 or dP0: one Lyapunov solve and one linear solve for all
// parameters, where `initial_derivatives` needs one solve per parameter. The
// way back of the score ends here. P̄ must be symmetric.
Vec initial_state_adjoint(const core::StateSpace& ss, const core::KalmanInit& init,
                          const SystemDerivatives& derivs, const Eigen::VectorXd& abar,
                          const Eigen::MatrixXd& Pbar);

}  // namespace peltaro::score
