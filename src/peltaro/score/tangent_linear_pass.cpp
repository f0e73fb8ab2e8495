#include "peltaro/score/tangent_linear_pass.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/score/dp_prediction.hpp"
#include "peltaro/score/initial_derivatives.hpp"

namespace peltaro::score {
namespace {

void require(bool ok, const char* what) {
  if (!ok) throw std::logic_error(std::string("tlkf_pass: ") + what);
}

// out ← M·Z over the stored pairs of Z; returns Z'·M·Z, summed from −0.0.
double times_z(const core::SparseZ& sparse_z, const Eigen::MatrixXd& M, Eigen::VectorXd& out) {
  out.setZero();
  for (const auto& e : sparse_z.entries) out += e.value * M.col(static_cast<Eigen::Index>(e.index));
  return core::sparse_dot(sparse_z, out);
}

}  // namespace

void check_tlkf_sizes(std::span<const double> y, const core::StateSpace& ss,
                      const core::KalmanInit& init, const SystemDerivatives& d) {
  core::require_consistent_sizes(ss, init, "tlkf_pass");
  const auto m = static_cast<Eigen::Index>(ss.k_states);
  const std::size_t mm = ss.k_states;
  const std::size_t k = d.n_params;
  require(d.dt_entries.size() == k && d.drqr.size() == k && d.dobs_intercept.size() == k &&
              d.dstate_intercept.size() == k,
          "derivative arrays not of n_params entries");
  for (std::size_t j = 0; j < k; ++j) {
    for (const auto& e : d.dt_entries[j]) require(e.row < mm && e.col < mm, "dT entry outside T");
    if (d.drqr[j]) require(d.drqr[j]->rows() == m && d.drqr[j]->cols() == m, "dRQR not m x m");
    require(d.dstate_intercept[j].empty() || d.dstate_intercept[j].size() == y.size(),
            "state intercept derivative not of n values");
  }
}

TangentLinearRecursion::TangentLinearRecursion(std::span<const double> y,
                                               const core::StateSpace& ss,
                                               const core::KalmanInit& init,
                                               const SystemDerivatives& derivs,
                                               const core::FilterSystem& system)
    : ss_(ss),
      derivs_(derivs),
      m_(ss.k_states),
      k_(derivs.n_params),
      burn_(init.burn),
      system_(system),
      cov_ws_(static_cast<Eigen::Index>(ss.k_states)) {
  const auto m = static_cast<Eigen::Index>(m_);
  intercept_ = core::state_intercept_for(ss, y.size());

  a_filt_ = Eigen::VectorXd::Zero(m);
  p_ = Eigen::VectorXd::Zero(m);
  if (k_ > 0) out_ = Eigen::MatrixXd::Zero(m, m);  // the derivatives' products alone

  InitialDerivatives start = initial_derivatives(ss, init, derivs);
  const auto kk = static_cast<Eigen::Index>(k_);
  DA_ = Eigen::MatrixXd::Zero(kk, m);
  DX_ = Eigen::MatrixXd::Zero(kk, m);
  for (std::size_t j = 0; j < k_; ++j) DA_.row(static_cast<Eigen::Index>(j)) = start.da0[j].transpose();
  dP_ = std::move(start.dp0);
  // The kernel reads a column of dP as its row: the solved initial
  // derivatives are made exactly symmetric, as every later one is.
  for (Eigen::MatrixXd& dP : dP_) {
    for (Eigen::Index c = 0; c < m; ++c) {
      for (Eigen::Index r = c + 1; r < m; ++r) dP(r, c) = dP(c, r) = 0.5 * (dP(r, c) + dP(c, r));
    }
  }
  dg_.assign(k_, Eigen::VectorXd::Zero(m));
  moves_cov_.assign(k_, 0);
  for (std::size_t j = 0; j < k_; ++j) {
    moves_cov_[j] =
        !derivs.dt_entries[j].empty() || derivs.drqr[j].has_value() || start.dp0_nonzero[j];
  }
  dv_.assign(k_, 0.0);
  za_.assign(k_, 0.0);
  df_.assign(k_, 0.0);
}

void TangentLinearRecursion::compute_dv(std::size_t t) {
  if (k_ == 0) return;  // no parameters: the filter's recursion alone
  // Z'·da_j for every j at once, each sum over the pairs of Z from −0.0.
  double* za = za_.data();
  for (std::size_t j = 0; j < k_; ++j) za[j] = -0.0;
  for (const auto& e : system_.sparse_z.entries) {
    const double* col = DA_.col(static_cast<Eigen::Index>(e.index)).data();
    for (std::size_t j = 0; j < k_; ++j) za[j] += e.value * col[j];
  }
  for (std::size_t j = 0; j < k_; ++j) {
    const std::span<const double> dd = derivs_.dobs_intercept[j];
    const double ddt = t < dd.size() ? dd[t] : 0.0;
    dv_[j] = (-ddt) - za[j];
  }
}

// da_j += e_j·g + w·dg_j, with e_j = (dv_j − v·dF_j/F)/F: the derivative of
// the update a += (v/F)·P·Z.
void TangentLinearRecursion::update_mean_derivatives(const Eigen::VectorXd& pz, double finv,
                                                     double v, double w) {
  if (k_ == 0) return;  // no parameters: the filter's recursion alone
  const double* g = pz.data();
  for (std::size_t j = 0; j < k_; ++j) {
    const double e = finv * dv_[j] - finv * (finv * (v * df_[j]));
    double* da = DA_.data() + j;
    if (moves_cov_[j]) {
      const double* dg = dg_[j].data();
      for (std::size_t i = 0; i < m_; ++i) da[i * k_] += e * g[i] + w * dg[i];
    } else {
      for (std::size_t i = 0; i < m_; ++i) da[i * k_] += e * g[i];
    }
  }
}

void TangentLinearRecursion::freeze() {
  steady_ = true;
  for (std::size_t j = 0; j < k_; ++j) {
    df_[j] = moves_cov_[j] ? times_z(system_.sparse_z, dP_[j], dg_[j]) : 0.0;
  }
}

void TangentLinearRecursion::begin_step(const core::FilterStep& s) {
  switch (s.kind) {
    case core::StepKind::Steady:
      if (!steady_) freeze();
      compute_dv(s.t);  // df stays frozen
      break;
    case core::StepKind::Update:
      compute_dv(s.t);
      for (std::size_t j = 0; j < k_; ++j) {
        df_[j] = moves_cov_[j] ? times_z(system_.sparse_z, dP_[j], dg_[j]) : 0.0;
      }
      break;
    case core::StepKind::Skip:
      // Recorded only after the burn steps; its F counts as a constant.
      if (s.t >= burn_) {
        compute_dv(s.t);
        std::fill(df_.begin(), df_.end(), 0.0);
      }
      break;
  }
}

void TangentLinearRecursion::finish_step(const core::FilterStep& s) {
  const std::size_t t = s.t;
  if (s.kind == core::StepKind::Steady) {
    update_mean_derivatives(s.pz, s.finv, s.v, s.finv * s.v);
    // The filter's steady step: T·a + c + T·P·Z·(v/F). The derivative
    // predictions map the filtered mean a + P·Z·(v/F) through dT.
    a_filt_ = s.mean + s.pz * (s.v / s.f);
    predict_derivatives(t, a_filt_);
    return;
  }

  const Eigen::VectorXd* g = nullptr;
  if (s.kind == core::StepKind::Update) {
    g = &s.pz;
    const double w = s.v * s.finv;
    update_mean_derivatives(s.pz, s.finv, s.v, w);
    a_filt_ = s.mean + w * s.pz;
  } else {
    a_filt_ = s.mean;
  }
  predict_derivatives(t, a_filt_);
  const double finv = s.finv;
  for (std::size_t j = 0; j < k_; ++j) {
    if (!moves_cov_[j]) continue;
    const Eigen::MatrixXd* drqr = derivs_.drqr[j] ? &*derivs_.drqr[j] : nullptr;
    // dP_j of the filtered covariance P − g·g'·f is dP + h·g·g' −
    // f·(g·dg' + dg·g') with h = dF·f²: the kernel folds it in as g·p' + p·g'.
    std::optional<StepUpdate> update;
    if (g != nullptr) {
      p_ = (0.5 * (finv * (finv * df_[j]))) * *g - finv * dg_[j];
      update.emplace(*g, finv, p_);
    }
    predict_dp(system_.covariance, derivs_.dt_entries[j], drqr, s.cov, dP_[j],
               update ? &*update : nullptr, out_, cov_ws_);
    dP_[j].swap(out_);
  }
}

void TangentLinearRecursion::predict_derivatives(std::size_t t, const Eigen::VectorXd& filtered) {
  if (k_ == 0) return;  // no parameters: the filter's recursion alone
  // DX = DA·T' (row j: T·da_j) over the entries of T, k values at a time.
  DX_.setZero();
  for (const auto& e : system_.sparse_t.entries) {
    const double* src = DA_.col(static_cast<Eigen::Index>(e.col)).data();
    double* dst = DX_.col(static_cast<Eigen::Index>(e.row)).data();
    for (std::size_t j = 0; j < k_; ++j) dst[j] += e.value * src[j];
  }
  const double* a = filtered.data();
  for (std::size_t j = 0; j < k_; ++j) {
    double* x = DX_.data() + j;
    for (const auto& e : derivs_.dt_entries[j]) x[e.row * k_] += e.value * a[e.col];
    // The trend enters state k_diff only.
    const Vec& dc = derivs_.dstate_intercept[j];
    if (!intercept_.empty() && !dc.empty()) x[ss_.k_diff * k_] += dc[t];
  }
  DA_.swap(DX_);
}

}  // namespace peltaro::score
