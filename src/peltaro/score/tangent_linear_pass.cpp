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
    require(d.dstate_intercept[j].empty() || d.dstate_intercept[j].size() == y.size(),
            "state intercept derivative not of n values");
  }
}

// out ← M·Z over the stored pairs of Z; returns Z'·M·Z, summed from −0.0.
double times_z(const core::SparseZ& sparse_z, const Eigen::MatrixXd& M, Eigen::VectorXd& out) {
  out.setZero();
  for (const auto& e : sparse_z.entries) out += e.value * M.col(static_cast<Eigen::Index>(e.index));
  return core::sparse_dot(sparse_z, out);
}

// The recursion's own system when the caller brings none, made once the
// sizes are known to fit: everything built from it indexes by them.
std::optional<core::FilterSystem> own_system(std::span<const double> y, const core::StateSpace& ss,
                                             const core::KalmanInit& init,
                                             const SystemDerivatives& d,
                                             const core::FilterSystem* given) {
  check_sizes(y, ss, init, d);
  if (given != nullptr) return std::nullopt;
  return core::FilterSystem(ss);
}

}  // namespace

TangentLinearRecursion::TangentLinearRecursion(std::span<const double> y,
                                               const core::StateSpace& ss,
                                               const core::KalmanInit& init,
                                               const SystemDerivatives& derivs,
                                               const core::FilterSystem* system)
    : y_(y),
      ss_(ss),
      derivs_(derivs),
      n_(y.size()),
      m_(ss.k_states),
      k_(derivs.n_params),
      burn_(init.burn),
      own_system_(own_system(y, ss, init, derivs, system)),
      system_(system != nullptr ? *system : *own_system_),
      cov_ws_(static_cast<Eigen::Index>(ss.k_states)),
      rule_(init.burn) {
  const auto m = static_cast<Eigen::Index>(m_);
  // A trend built for another series length contributes nothing.
  if (ss.state_intercept.size() == n_) intercept_ = ss.state_intercept;

  a_ = init.a0;
  P_ = core::StateCovariance(init.p0);
  P_next_ = core::StateCovariance(Eigen::MatrixXd::Zero(m, m));
  a_pred_ = Eigen::VectorXd::Zero(m);
  a_filt_ = Eigen::VectorXd::Zero(m);
  gain_ = Eigen::VectorXd::Zero(m);
  g_ = Eigen::VectorXd::Zero(m);
  g_new_ = Eigen::VectorXd::Zero(m);
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
    const Vec& dd = derivs_.dobs_intercept[j];
    const double ddt = t < dd.size() ? dd[t] : 0.0;
    dv_[j] = (-ddt) - za[j];
  }
}

// da_j += e_j·g + w·dg_j, with e_j = (dv_j − v·dF_j/F)/F: the derivative of
// the update a += (v/F)·P·Z.
void TangentLinearRecursion::update_mean_derivatives(double w) {
  if (k_ == 0) return;  // no parameters: the filter's recursion alone
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
    ln_f_ = steady_ln_f_;
    v2_f_ = (v_ * v_) / f_;
    return;
  }
  const double F = P_.times_z(system_.strategy, ss_.design, system_.sparse_z, g_);
  if (F > 0.0) {
    kind_ = StepKind::Update;
    compute_dv(t);
    for (std::size_t j = 0; j < k_; ++j) {
      df_[j] = moves_cov_[j] ? times_z(system_.sparse_z, dP_[j], dg_[j]) : 0.0;
    }
    finv_ = 1.0 / F;
    ln_f_ = t >= burn_ ? std::log(F) : 0.0;  // summed after the burn steps only
    v2_f_ = v_ * v_ * finv_;
  } else {
    kind_ = StepKind::Skip;
    if (t >= burn_) {
      compute_dv(t);
      std::fill(df_.begin(), df_.end(), 0.0);
    }
    finv_ = core::SKIP_FINV;
    ln_f_ = core::LN_SKIP_F;
    v2_f_ = (v_ * v_) / core::SKIP_F;
  }
}

void TangentLinearRecursion::finish_step(std::size_t t) {
  if (kind_ == StepKind::Steady) {
    update_mean_derivatives(finv_ * v_);
    // The filter's steady step: T·a + c + T·P·Z·(v/F). The derivative
    // predictions map the filtered mean a + P·Z·(v/F) through dT.
    const double ratio = v_ / f_;
    a_filt_ = a_ + g_ * ratio;
    predict_derivatives(t, a_filt_);
    system_.predict_state(a_, a_pred_, intercept_, t, ss_.k_diff);
    a_pred_ += gain_ * ratio;
    a_.swap(a_pred_);
    return;
  }

  const Eigen::VectorXd* g = nullptr;
  if (kind_ == StepKind::Update) {
    g = &g_;
    const double w = v_ * finv_;
    update_mean_derivatives(w);
    a_ += w * g_;
  }
  predict_derivatives(t, a_);
  for (std::size_t j = 0; j < k_; ++j) {
    if (!moves_cov_[j]) continue;
    const Eigen::MatrixXd* drqr = derivs_.drqr[j] ? &*derivs_.drqr[j] : nullptr;
    // dP_j of the filtered covariance P − g·g'·f is dP + h·g·g' −
    // f·(g·dg' + dg·g') with h = dF·f²: the kernel folds it in as g·p' + p·g'.
    std::optional<StepUpdate> update;
    if (g != nullptr) {
      p_ = (0.5 * (finv_ * (finv_ * df_[j]))) * g_ - finv_ * dg_[j];
      update.emplace(g_, finv_, p_);
    }
    predict_dp(system_.covariance, derivs_.dt_entries[j], drqr, P_, dP_[j],
               update ? &*update : nullptr, out_, cov_ws_);
    dP_[j].swap(out_);
  }
  system_.predict_state(a_, a_pred_, intercept_, t, ss_.k_diff);
  a_.swap(a_pred_);

  // P ← T·(P − g·g'·f)·T' + RQR from the predicted P, by the filters' step.
  system_.predict_covariance(P_, g, finv_, P_next_, cov_ws_, t, burn_);

  bool settled = false;
  if (kind_ == StepKind::Update) {
    settled = rule_.after_update(t, P_next_, P_);
  } else {
    rule_.after_skip();
  }
  P_.swap(P_next_);
  if (settled) freeze(t);
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

// The switch as the filter makes it: P·Z and F of the covariance just
// predicted, by the same products.
void TangentLinearRecursion::freeze(std::size_t t) {
  P_.complete();
  const double f_ss =
      P_.times_z(core::KalmanStrategy::Dense, ss_.design, system_.sparse_z, g_new_);
  if (!(std::isfinite(f_ss) && f_ss > 0.0)) return;
  steady_ = true;
  steady_from_ = t + 1;
  f_ = f_ss;
  steady_ln_f_ = std::log(f_ss);
  finv_ = 1.0 / f_ss;
  g_ = g_new_;
  system_.covariance.times_t(g_.data(), gain_.data());
  // Freeze the derivatives of the frozen quantities themselves: dP_j is now
  // the derivative of the covariance just predicted, the one whose F and P·Z
  // every steady step uses.
  for (std::size_t j = 0; j < k_; ++j) {
    df_[j] = moves_cov_[j] ? times_z(system_.sparse_z, dP_[j], dg_[j]) : 0.0;
  }
}

}  // namespace peltaro::score
