#include "peltaro/score/tangent_linear_pass.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "peltaro/score/dp_prediction.hpp"
#include "peltaro/score/initial_derivatives.hpp"

namespace peltaro::score {
namespace {

void require(bool ok, const char* what) {
  if (!ok) throw std::logic_error(std::string("tlkf_pass: ") + what);
}

void check_sizes(std::span<const double> y, const core::StateSpace& ss,
                 const core::KalmanInit& init, const SystemDerivatives& d) {
  const auto m = static_cast<Eigen::Index>(ss.k_states);
  const std::size_t mm = ss.k_states;
  require(ss.transition.rows() == m && ss.transition.cols() == m, "T is not m x m");
  require(ss.design.size() == m, "Z is not of length m");
  require(ss.selection.rows() == m && ss.selection.cols() == 1, "R is not m x 1");
  require(ss.state_cov.rows() == 1 && ss.state_cov.cols() == 1, "Q is not 1 x 1");
  require(init.a0.size() == m && init.p0.rows() == m && init.p0.cols() == m,
          "initial state not of the system's size");
  if (init.stationary_block) {
    require(init.stationary_block->first + init.stationary_block->second <= mm,
            "stationary block outside the state vector");
  }
  const std::size_t k = d.n_params;
  require(d.dt_entries.size() == k && d.drqr.size() == k && d.dobs_intercept.size() == k &&
              d.dstate_intercept.size() == k,
          "derivative arrays not of n_params entries");
  for (std::size_t j = 0; j < k; ++j) {
    for (const auto& e : d.dt_entries[j]) require(e.row < mm && e.col < mm, "dT entry outside T");
    if (d.drqr[j]) require(d.drqr[j]->rows() == m && d.drqr[j]->cols() == m, "dRQR not m x m");
    require(d.dstate_intercept[j].empty() || d.dstate_intercept[j].size() == mm * y.size(),
            "state intercept derivative not of m*n values");
  }
}

// out ← T·x over the stored entries of T, whatever the strategy: a SARIMAX
// transition matrix has O(m) non-zero entries, so this is never dearer than
// the dense product, and at small m it avoids the set-up of a vector loop.
inline void transition_times(const core::SparseT& sparse_t, const double* x, double* out,
                             std::size_t m) {
  for (std::size_t i = 0; i < m; ++i) out[i] = 0.0;
  for (const auto& e : sparse_t.entries) out[e.row] += e.value * x[e.col];
}

// out ← M·Z over the stored pairs of Z; returns Z'·M·Z, summed from −0.0.
double times_z(const core::SparseZ& sparse_z, const Eigen::MatrixXd& M, Eigen::VectorXd& out) {
  out.setZero();
  for (const auto& e : sparse_z.entries) out += e.value * M.col(static_cast<Eigen::Index>(e.index));
  return core::sparse_dot(sparse_z, out);
}

// The system, once its sizes are known to fit: the members built from it
// index by them.
const core::StateSpace& checked(std::span<const double> y, const core::StateSpace& ss,
                                const core::KalmanInit& init, const SystemDerivatives& d) {
  check_sizes(y, ss, init, d);
  return ss;
}

}  // namespace

TangentLinearRecursion::TangentLinearRecursion(std::span<const double> y,
                                               const core::StateSpace& ss,
                                               const core::KalmanInit& init,
                                               const SystemDerivatives& derivs)
    : y_(y),
      ss_(ss),
      derivs_(derivs),
      n_(y.size()),
      m_(ss.k_states),
      k_(derivs.n_params),
      burn_(init.burn),
      system_(checked(y, ss, init, derivs)),
      cov_ws_(static_cast<Eigen::Index>(ss.k_states)),
      rule_(init.burn) {
  const auto m = static_cast<Eigen::Index>(m_);
  use_intercept_ = ss.state_intercept.size() == n_;

  a_ = init.a0;
  P_ = init.p0;
  P_next_ = Eigen::MatrixXd::Zero(m, m);
  a_pred_ = Eigen::VectorXd::Zero(m);
  g_ = Eigen::VectorXd::Zero(m);
  g_new_ = Eigen::VectorXd::Zero(m);
  p_ = Eigen::VectorXd::Zero(m);
  out_ = Eigen::MatrixXd::Zero(m, m);

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
  // Z'·da_j for every j at once, each sum over the pairs of Z from −0.0.
  double* za = za_.data();
  for (std::size_t j = 0; j < k_; ++j) za[j] = -0.0;
  for (const auto& e : system_.sparse_z.entries) {
    const double* col = DA_.col(static_cast<Eigen::Index>(e.index)).data();
    for (std::size_t j = 0; j < k_; ++j) za[j] += e.value * col[j];
  }
  for (std::size_t j = 0; j < k_; ++j) {
    const Vec& dd = derivs_.dobs_intercept[j];
    const double ddt = t < dd.size() ? dd[t] : 0.0;
    dv_[j] = (-ddt) - za[j];
  }
}

// da_j += e_j·g + w·dg_j, with e_j = (dv_j − v·dF_j/F)/F: the derivative of
// the update a += (v/F)·P·Z.
void TangentLinearRecursion::update_mean_derivatives(double w) {
  const double* g = g_.data();
  for (std::size_t j = 0; j < k_; ++j) {
    const double e = finv_ * dv_[j] - finv_ * (finv_ * (v_ * df_[j]));
    double* da = DA_.data() + j;
    if (moves_cov_[j]) {
      const double* dg = dg_[j].data();
      for (std::size_t i = 0; i < m_; ++i) da[i * k_] += e * g[i] + w * dg[i];
    } else {
      for (std::size_t i = 0; i < m_; ++i) da[i * k_] += e * g[i];
    }
  }
}

void TangentLinearRecursion::begin_step(std::size_t t) {
  const double d_t = t < ss_.obs_intercept.size() ? ss_.obs_intercept[t] : 0.0;
  v_ = (y_[t] - core::sparse_dot(system_.sparse_z, a_)) - d_t;

  if (steady_) {
    kind_ = StepKind::Steady;
    compute_dv(t);  // df and finv stay frozen
    return;
  }
  const double F = times_z(system_.sparse_z, P_, g_);
  if (F > 0.0) {
    kind_ = StepKind::Update;
    compute_dv(t);
    for (std::size_t j = 0; j < k_; ++j) {
      df_[j] = moves_cov_[j] ? times_z(system_.sparse_z, dP_[j], dg_[j]) : 0.0;
    }
    finv_ = 1.0 / F;
  } else {
    kind_ = StepKind::Skip;
    if (t >= burn_) {
      compute_dv(t);
      std::fill(df_.begin(), df_.end(), 0.0);
    }
    finv_ = SKIP_FINV;
  }
}

void TangentLinearRecursion::finish_step(std::size_t t) {
  if (kind_ == StepKind::Steady) {
    const double w = finv_ * v_;
    update_mean_derivatives(w);
    // Filtered mean, which the derivative predictions map through dT.
    double* a = a_.data();
    const double* g = g_.data();
    for (std::size_t i = 0; i < m_; ++i) a[i] += w * g[i];
    predict_derivatives(t);
    predict_mean(t);
    return;
  }

  const Eigen::VectorXd* g = nullptr;
  if (kind_ == StepKind::Update) {
    g = &g_;
    const double w = v_ * finv_;
    update_mean_derivatives(w);
    a_ += w * g_;
  }
  predict_derivatives(t);
  for (std::size_t j = 0; j < k_; ++j) {
    if (!moves_cov_[j]) continue;
    const Eigen::MatrixXd* drqr = derivs_.drqr[j] ? &*derivs_.drqr[j] : nullptr;
    if (g != nullptr) {
      // dP_j of the filtered covariance P − g·g'·f is dP + h·g·g' −
      // f·(g·dg' + dg·g') with h = dF·f²: the kernel folds it in as
      // g·p' + p·g'.
      const double half_h = 0.5 * (finv_ * (finv_ * df_[j]));
      p_ = half_h * g_ - finv_ * dg_[j];
      const StepUpdate update{g_, finv_, p_};
      predict_dp(system_.covariance, derivs_.dt_entries[j], drqr, P_, dP_[j], &update, out_,
                 cov_ws_);
    } else {
      predict_dp(system_.covariance, derivs_.dt_entries[j], drqr, P_, dP_[j], nullptr, out_,
                 cov_ws_);
    }
    dP_[j].swap(out_);
  }
  predict_mean(t);

  // P ← T·(P − g·g'·f)·T' + RQR from the predicted P, by the filters' call.
  system_.predict_cov(ss_.transition, P_, g, finv_, P_next_, cov_ws_,
                      core::covariance_order(t, burn_));

  bool settled = false;
  if (kind_ == StepKind::Update) {
    settled = rule_.after_update(t, P_next_, P_);
  } else {
    rule_.after_skip();
  }
  P_.swap(P_next_);
  if (settled) freeze(t);
}

void TangentLinearRecursion::predict_derivatives(std::size_t t) {
  // DX = DA·T' (row j: T·da_j) over the entries of T, k values at a time.
  DX_.setZero();
  for (const auto& e : system_.sparse_t.entries) {
    const double* src = DA_.col(static_cast<Eigen::Index>(e.col)).data();
    double* dst = DX_.col(static_cast<Eigen::Index>(e.row)).data();
    for (std::size_t j = 0; j < k_; ++j) dst[j] += e.value * src[j];
  }
  const double* a = a_.data();
  for (std::size_t j = 0; j < k_; ++j) {
    double* x = DX_.data() + j;
    for (const auto& e : derivs_.dt_entries[j]) x[e.row * k_] += e.value * a[e.col];
    const Vec& dc = derivs_.dstate_intercept[j];
    if (use_intercept_ && !dc.empty()) {
      const double* c = dc.data() + t * m_;
      for (std::size_t i = 0; i < m_; ++i) x[i * k_] += c[i];
    }
  }
  DA_.swap(DX_);
}

void TangentLinearRecursion::predict_mean(std::size_t t) {
  transition_times(system_.sparse_t, a_.data(), a_pred_.data(), m_);
  if (use_intercept_) a_pred_[static_cast<Eigen::Index>(ss_.k_diff)] += ss_.state_intercept[t];
  a_.swap(a_pred_);
}

void TangentLinearRecursion::freeze(std::size_t t) {
  const double f_ss = times_z(system_.sparse_z, P_, g_new_);
  if (!(std::isfinite(f_ss) && f_ss > 0.0)) return;
  steady_ = true;
  steady_from_ = t + 1;
  finv_ = 1.0 / f_ss;
  g_ = g_new_;
  // Freeze the derivatives of the frozen quantities themselves: dP_j is now
  // the derivative of the covariance just predicted, the one whose F and P·Z
  // every steady step uses.
  for (std::size_t j = 0; j < k_; ++j) {
    df_[j] = moves_cov_[j] ? times_z(system_.sparse_z, dP_[j], dg_[j]) : 0.0;
  }
}

}  // namespace peltaro::score
