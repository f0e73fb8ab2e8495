#include "peltaro/score/dp_prediction.hpp"

#include "peltaro/core/kalman/sparse_forms.hpp"

namespace peltaro::score {

void predict_dp(const core::CovarianceKernel& kernel, std::span<const core::SparseTEntry> dT,
                const Eigen::MatrixXd* dRQR, const core::StateCovariance& P, const Eigen::MatrixXd& dP,
                const StepUpdate* update, Eigen::MatrixXd& out, core::CovarianceWorkspace& ws) {
  if (update != nullptr) {
    kernel.sandwich_rank_two(dP, dRQR, update->g, update->p, out, ws);
  } else {
    kernel.sandwich(dP, dRQR, nullptr, 0.0, out, ws);
  }
  if (dT.empty()) return;
  // The sandwich is done with the workspace's vectors: they hold the column
  // of P̃ and T times it.
  const std::size_t m = kernel.dim();
  double* x = ws.column();
  double* tp = ws.column_times_t();
  double* o = out.data();
  std::size_t column = m;  // none formed yet
  for (const auto& e : dT) {
    if (e.col != column) {
      column = e.col;
      P.column(column, x);
      if (update != nullptr) {
        const double* gd = update->g.data();
        const double s = gd[column] * update->f;
        for (std::size_t i = 0; i < m; ++i) x[i] -= gd[i] * s;
      }
      kernel.times_t(x, tp);
    }
    // S gains e.value·tp in column e.row, S' the same in row e.row: both
    // triangles take the same increments, so the result stays symmetric.
    double* col = o + e.row * m;
    double* row = o + e.row;
    for (std::size_t k = 0; k < m; ++k) {
      const double s = e.value * tp[k];
      col[k] += s;
      row[k * m] += s;
    }
  }
}

}  // namespace peltaro::score
