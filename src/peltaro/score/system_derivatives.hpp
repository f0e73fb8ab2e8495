#pragma once
// Derivatives of the state-space system with respect to every entry of the
// flat parameter vector (model coordinates), formed once per score call.
//
// Only T, R·Q·R' and the two intercepts depend on the parameters; Z does not.
// An empty list, an absent matrix or an empty array means a zero derivative,
// and the tangent-linear pass skips the work for it.

#include <Eigen/Dense>
#include <optional>
#include <span>
#include <vector>

#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::score {

using core::SparseTEntry;
using core::Vec;

struct SystemDerivatives {
  // ∂T/∂θ_j: entries of magnitude above 1e-15, all in column k_diff, rows
  // ascending. Non-empty only for the AR and seasonal AR coefficients.
  std::vector<std::vector<SparseTEntry>> dt_entries;
  // ∂(R·Q·R')/∂θ_j, m × m and symmetric; present only for the MA and seasonal
  // MA coefficients and sigma2.
  std::vector<std::optional<Eigen::MatrixXd>> drqr;
  // ∂d_t/∂θ_j over time: the regressor column of a regression coefficient,
  // borrowed from the caller's columns (a copy per gradient would cost as
  // much as a fair part of the gradient).
  std::vector<std::span<const double>> dobs_intercept;
  // ∂c_t/∂θ_j, one value per time: the trend enters state k_diff only.
  // Trend coefficients only.
  std::vector<Vec> dstate_intercept;
  std::size_t n_params = 0;
};

// `ss` must be built for `config` and `params`; `n` is the series length and
// `exog`, when given, must hold at least `n_exog` columns (std::logic_error
// otherwise: the score entries check this before calling), and outlive the
// result, which refers to them.
SystemDerivatives precompute_derivatives(const core::SarimaxConfig& config,
                                         const core::SarimaxParams& params,
                                         const core::StateSpace& ss, std::size_t n,
                                         const core::Columns* exog);

// q·(dR·R' + R·dR'): the derivative of R·Q·R' for a one-column R whose
// derivative is dR, at a fixed 1 × 1 shock variance q.
Eigen::MatrixXd compute_drqr(std::span<const double> dR, const Eigen::MatrixXd& R, std::size_t m,
                             double q);

}  // namespace peltaro::score
