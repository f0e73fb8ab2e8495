#pragma once
// One step of the derivative of the covariance prediction P_next = T·P·T' + RQR
// for one parameter θ_j:
//
//   dP_next = dRQR_j + T·dP·T' + dT_j·P·T' + T·P·dT_j'
//
// T·dP·T' runs on the filters' covariance kernel; the two dT terms are S + S'
// with S = T·P·dT_j', whose columns are T times the few columns of P that dT_j
// reads (for a symmetric P a column of T·P is T times that column of P).

#include <Eigen/Dense>
#include <span>

#include "peltaro/core/kalman/covariance_kernel.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/kalman/state_covariance.hpp"

namespace peltaro::score {

// The update of the step a prediction starts from: P̃ = P − g·g'·f, whose
// derivative is dP̃ = dP + g·p' + p·g' with p = (dF·f²/2)·g − f·dg.
struct StepUpdate {
  const Eigen::VectorXd& g;
  double f;
  const Eigen::VectorXd& p;
};

// out ← dRQR + T·dP̃·T' + dT·P̃·T' + T·P̃·dT' (P̃ = P and dP̃ = dP when
// `update` is null), for an exactly symmetric dP; the result is exactly
// symmetric. `kernel` holds T;
// nothing is allocated; `out` must alias neither P, dP nor dRQR, and may hold
// anything on entry.
void predict_dp(const core::CovarianceKernel& kernel, std::span<const core::SparseTEntry> dT,
                const Eigen::MatrixXd* dRQR, const core::StateCovariance& P, const Eigen::MatrixXd& dP,
                const StepUpdate* update, Eigen::MatrixXd& out, core::CovarianceWorkspace& ws);

}  // namespace peltaro::score
