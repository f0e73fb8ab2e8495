#include "peltaro/score/dp_prediction.hpp"

namespace peltaro::score {

// W ← T·X over the triplets of T. Each W(r, k) still sums its terms in
// triplet order; running along a row for one triplet at a time keeps
// successive additions independent (a column at a time would chain them
// through the repeated row entries of W).
void sparse_t_times(const core::SparseT& sparse_t, const Eigen::MatrixXd& X, Eigen::MatrixXd& W) {
  W.setZero();
  const Eigen::Index m = X.rows();
  for (const auto& e : sparse_t.entries) {
    const double* xr = X.data() + e.col;
    double* wr = W.data() + e.row;
    for (Eigen::Index k = 0; k < m; ++k) wr[k * m] += e.value * xr[k * m];
  }
}

void compute_dp_predict_with_tp(std::span<const core::SparseTEntry> dT,
                                const Eigen::MatrixXd* dRQR, const Eigen::MatrixXd& T,
                                const Eigen::MatrixXd& Tt, const core::SparseT& sparse_t,
                                bool use_sparse, const Eigen::MatrixXd& TP,
                                const Eigen::MatrixXd& dP, Eigen::MatrixXd& out,
                                Eigen::MatrixXd& W1) {
  const Eigen::Index m = dP.rows();
  if (dRQR != nullptr) {
    out = *dRQR;
  } else {
    out.setZero();
  }
  if (use_sparse) {
    sparse_t_times(sparse_t, dP, W1);
    // out ← out + W1·T': column r of out gains v·(column c of W1) per triplet.
    for (const auto& e : sparse_t.entries) {
      const double* wc = W1.col(static_cast<Eigen::Index>(e.col)).data();
      double* oc = out.col(static_cast<Eigen::Index>(e.row)).data();
      for (Eigen::Index k = 0; k < m; ++k) oc[k] += e.value * wc[k];
    }
  } else {
    W1.noalias() = T * dP;
    out.noalias() += W1 * Tt;
  }
  // dT·P·T' + T·P·dT' = S' + S with S = (T·P)·dT': per triplet (r, c, v) of
  // dT, column r of S gains v·(column c of T·P).
  for (const auto& e : dT) {
    const auto r = static_cast<Eigen::Index>(e.row);
    const double* tc = TP.col(static_cast<Eigen::Index>(e.col)).data();
    double* orow = out.data() + r;
    double* ocol = out.col(r).data();
    for (Eigen::Index k = 0; k < m; ++k) {
      const double s = e.value * tc[k];
      ocol[k] += s;
      orow[k * m] += s;
    }
  }
}

void compute_dp_predict(std::span<const core::SparseTEntry> dT, const Eigen::MatrixXd* dRQR,
                        const Eigen::MatrixXd& T, const Eigen::MatrixXd& Tt,
                        const core::SparseT& sparse_t, bool use_sparse, const Eigen::MatrixXd& P,
                        const Eigen::MatrixXd& dP, std::size_t /*m*/, Eigen::MatrixXd& out,
                        Eigen::MatrixXd& W1, Eigen::MatrixXd& W2) {
  if (!dT.empty()) {
    if (use_sparse) {
      sparse_t_times(sparse_t, P, W2);
    } else {
      W2.noalias() = T * P;
    }
  }
  compute_dp_predict_with_tp(dT, dRQR, T, Tt, sparse_t, use_sparse, W2, dP, out, W1);
}

}  // namespace peltaro::score
