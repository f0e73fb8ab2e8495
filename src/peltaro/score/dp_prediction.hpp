#pragma once
// One step of the derivative of the covariance prediction P_next = T·P·T' + RQR
// for one parameter θ_j:
//
//   dP_next = dRQR_j + T·dP·T' + dT_j·P·T' + T·P·dT_j'
//
// The products by T run over its triplets or densely (the pass's strategy);
// the products by dT_j always run over its triplets.

#include <Eigen/Dense>
#include <span>

#include "peltaro/core/kalman/sparse_forms.hpp"

namespace peltaro::score {

// W ← T·X over the stored entries of T (X and W square of T's size).
void sparse_t_times(const core::SparseT& sparse_t, const Eigen::MatrixXd& X, Eigen::MatrixXd& W);

// Full form: writes dP_next into `out`; W1, W2 are workspaces. P and dP are
// read only. Nothing is allocated; `out`, W1 and W2 may hold anything on entry
// and must not alias P or dP.
void compute_dp_predict(std::span<const core::SparseTEntry> dT, const Eigen::MatrixXd* dRQR,
                        const Eigen::MatrixXd& T, const Eigen::MatrixXd& Tt,
                        const core::SparseT& sparse_t, bool use_sparse, const Eigen::MatrixXd& P,
                        const Eigen::MatrixXd& dP, std::size_t m, Eigen::MatrixXd& out,
                        Eigen::MatrixXd& W1, Eigen::MatrixXd& W2);

// The same with T·P already formed (TP): the pass forms it once per step for
// all parameters instead of once per parameter. The two dT terms are taken as
// S + S' with S = T·P·dT_j', which assumes P symmetric; the pass's P is
// symmetric up to rounding.
void compute_dp_predict_with_tp(std::span<const core::SparseTEntry> dT,
                                const Eigen::MatrixXd* dRQR, const Eigen::MatrixXd& T,
                                const Eigen::MatrixXd& Tt, const core::SparseT& sparse_t,
                                bool use_sparse, const Eigen::MatrixXd& TP,
                                const Eigen::MatrixXd& dP, Eigen::MatrixXd& out,
                                Eigen::MatrixXd& W1);

}  // namespace peltaro::score
