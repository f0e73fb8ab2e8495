#include "peltaro/score/adjoint_pass.hpp"

#include <algorithm>
#include <optional>

#include "peltaro/score/initial_derivatives.hpp"
#include "peltaro/score/relabelled_sandwich.hpp"

namespace peltaro::score {
namespace {

constexpr std::size_t npos = static_cast<std::size_t>(-1);

}  // namespace

AdjointPass::AdjointPass(std::span<const double> y, const core::StateSpace& ss,
                         const core::KalmanInit& init, const SystemDerivatives& derivs,
                         const core::FilterSystem& system)
    : y_(y),
      ss_(ss),
      init_(init),
      derivs_(derivs),
      system_(system),
      n_(y.size()),
      m_(ss.k_states),
      k_(derivs.n_params),
      burn_(init.burn) {
  slot_.assign(m_, npos);
  for (const auto& entries : derivs.dt_entries) {
    for (const auto& e : entries) {
      if (slot_[e.col] != npos) continue;
      slot_[e.col] = columns_.size();
      columns_.push_back(e.col);
    }
  }
}

bool AdjointPass::run_forward(std::size_t budget) {
  const std::size_t nc = columns_.size();
  kind_.resize(n_);
  v_.resize(n_);
  finv_.resize(n_);
  mean_columns_.resize(n_ * nc);
  kept_.clear();
  frozen_pz_.resize(0);
  column_.resize(static_cast<Eigen::Index>(m_));
  // Room for every step at once, up to the budget: no copying as it grows.
  const std::size_t per_step = m_ + m_ * nc;
  kept_.reserve(n_ > budget / std::max<std::size_t>(per_step, 1) ? budget : n_ * per_step);
  budget_ = budget;
  seen_ = 0;
  sums_ = TlkfResult{};

  // The filter itself, followed step by step: its covariances, switch step
  // and sums are the log-likelihood's own.
  auto res = core::kalman_core(y_, ss_, init_, system_, false, false, std::nullopt, this);
  if (seen_ != n_) {
    kept_ = Vec();
    return false;
  }
  // A pass whose sums are not finite fails in the filter but is complete
  // here: its gradient is NaN, as the log-likelihood's would be.
  if (res) {
    sums_.steady_from = res->steady_from;
  } else {
    const auto first = std::find(kind_.begin(), kind_.end(), StepKind::Steady);
    if (first != kind_.end()) sums_.steady_from = static_cast<std::size_t>(first - kind_.begin());
  }
  return true;
}

bool AdjointPass::step(const core::FilterStep& s) {
  const std::size_t t = s.t;
  const std::size_t nc = columns_.size();
  const StepKind kind = s.kind;
  kind_[t] = kind;
  v_[t] = s.v;
  finv_[t] = s.finv;
  if (t >= burn_) {
    sums_.sumsq += (s.v * s.v) * s.finv;
    sums_.sum_ln_f += s.ln_f;
    sums_.sum_v2_f += s.v2_f;
  }
  const Eigen::VectorXd& a = s.mean;
  const Eigen::VectorXd& g = s.pz;
  const double w = kind == StepKind::Skip ? 0.0 : s.v * s.finv;
  for (std::size_t q = 0; q < nc; ++q) {
    const auto c = static_cast<Eigen::Index>(columns_[q]);
    mean_columns_[t * nc + q] = a[c] + g[c] * w;
  }
  if (kind == StepKind::Steady) {
    if (frozen_pz_.size() == 0) frozen_pz_ = g;
  } else {
    const bool update = kind == StepKind::Update;
    const std::size_t need = (update ? m_ : 0) + m_ * nc;
    if (kept_.size() + need > budget_) return false;
    if (update) kept_.insert(kept_.end(), g.data(), g.data() + m_);
    // T times column c of the covariance the prediction starts from,
    // P − g·g'·f after an update (a column of T·P for a symmetric P).
    for (const std::size_t c : columns_) {
      const auto cc = static_cast<Eigen::Index>(c);
      s.cov.column(c, column_.data());
      if (update) column_ -= g * (g[cc] * s.finv);
      const std::size_t at = kept_.size();
      kept_.resize(at + m_);
      system_.covariance.times_t(column_.data(), kept_.data() + at);
    }
  }
  ++seen_;
  return true;
}

// Backwards from the end, with ā and P̄ the adjoints of the mean and
// covariance predicted for the step after t. A step t, in the forward
// direction (steady mode: g, F frozen, no covariance recursion):
//   v = y − Z'a − d,  F = Z'P·Z,  g = P·Z,  f = 1/F,
//   a⁺ = T·(a + g·v·f) + c,  P⁺ = T·(P − g·g'·f)·T' + RQR,
// and the log-likelihood term −½·(ln F + v²·f/s2) for t ≥ burn.
Vec AdjointPass::gradient(double s2) const {
  const auto m = static_cast<Eigen::Index>(m_);
  const std::size_t nc = columns_.size();
  const Eigen::VectorXd& Z = ss_.design;
  const auto& z_entries = system_.sparse_z.entries;
  const bool trend = ss_.state_intercept.size() == n_;
  const auto k_diff = static_cast<Eigen::Index>(ss_.k_diff);

  // T'·ā by the rows of T', and P̄ under labels: T'·P̄·T relabels P̄ but
  // for the few rows of T' that are not shifts (see RelabelledSandwich).
  // Their storage stays with the thread from one pass to the next, for
  // systems of up to FilterSystem::MAX_KEPT_STATES states.
  thread_local core::SparseT tt;
  thread_local core::RowRuns transposed;
  tt.assign_transpose(system_.sparse_t);
  transposed.assign(tt);
  thread_local RelabelledSandwich kept_pbar;
  std::optional<RelabelledSandwich> own_pbar;
  RelabelledSandwich& pbar =
      m_ <= core::FilterSystem::MAX_KEPT_STATES ? kept_pbar : own_pbar.emplace();
  pbar.assign(tt);

  Vec grad(k_, 0.0);
  Eigen::VectorXd abar = Eigen::VectorXd::Zero(m), afilt_bar(m);
  Eigen::VectorXd frozen_gbar = Eigen::VectorXd::Zero(m);
  double frozen_fbar = 0.0;
  // Σ of the P̄ that met R·Q·R', kept over the lower triangle only where
  // some dRQR_j = q·(dR·R' + R·dR') may not be zero: the pairs of the rows
  // where R or a dR is not zero (a few).
  std::vector<char> reached(m_, 0);
  for (const auto& d : derivs_.drqr) {
    if (!d) continue;
    core::for_each_nonzero(d->data(), 0, m_ * m_,
                           [&](std::size_t at, double) { reached[at / m_] = 1; });
  }
  std::vector<std::pair<std::size_t, std::size_t>> rqr_at;  // (row, column)
  for (std::size_t c = 0; c < m_; ++c) {
    for (std::size_t i = c; i < m_ && reached[c]; ++i) {
      if (reached[i]) rqr_at.emplace_back(i, c);
    }
  }
  Vec Sbar(rqr_at.size(), 0.0);
  bool pbar_live = false;  // P̄ is zero until a covariance first matters

  // P̄ += ½·(ḡ·Z' + Z·ḡ') + F̄·Z·Z' = Z·p' + p·Z' with p = ½·ḡ + ½·F̄·Z.
  // u = P̃̄·g and p in the order of P̄'s slots.
  Eigen::VectorXd p(m), u_slotted(m);
  Vec tp_slotted(m_ * nc);
  auto subtract_z_times = [&](double x, Eigen::VectorXd& out) {
    for (const auto& e : z_entries) out[static_cast<Eigen::Index>(e.index)] -= e.value * x;
  };

  const std::size_t steady_from = sums_.steady_from.value_or(n_);
  // The steps' values lie in `kept_` in time order: the way back reads them
  // from the end.
  std::size_t end = kept_.size();
  for (std::size_t t = n_; t-- > 0;) {
    const StepKind kind = kind_[t];
    const double v = v_[t];
    const double f = finv_[t];
    double Lv = 0.0;
    double LF = 0.0;
    if (t >= burn_) {
      Lv = -(v * f) / s2;
      if (kind != StepKind::Skip) LF = -0.5 * f + (0.5 * (v * v) * (f * f)) / s2;
    }

    // a⁺ = T·a_filt + c: the coefficients that move T, and the trend.
    for (std::size_t j = 0; j < k_; ++j) {
      for (const auto& e : derivs_.dt_entries[j]) {
        grad[j] += e.value * abar[static_cast<Eigen::Index>(e.row)] *
                   mean_columns_[t * nc + slot_[e.col]];
      }
      const Vec& dc = derivs_.dstate_intercept[j];
      if (trend && !dc.empty()) grad[j] += abar[k_diff] * dc[t];
    }
    // T'·ā: each sum runs down a column of T in the order of its rows, and
    // the shifts run as sweeps.
    transposed.times(tt.entries, abar.data(), afilt_bar.data());

    double vbar = Lv;
    if (kind == StepKind::Steady) {
      const double w = v * f;
      const double wbar = frozen_pz_.dot(afilt_bar);
      frozen_gbar += w * afilt_bar;
      vbar += wbar * f;
      frozen_fbar += -(wbar * v) * (f * f) + LF;
      if (t == steady_from) {
        // P̄ of the frozen covariance, through g = P·Z and F = Z'P·Z.
        for (std::size_t b = 0; b < m_; ++b) {
          const auto i = static_cast<Eigen::Index>(pbar.label(b));
          p[static_cast<Eigen::Index>(b)] = 0.5 * frozen_gbar[i] + (0.5 * frozen_fbar) * Z[i];
        }
        pbar.add_outer(z_entries, Z, p.data());
        pbar_live = true;
      }
    } else {
      const bool update = kind == StepKind::Update;
      end -= (update ? m_ : 0) + m_ * nc;
      const double* kept = kept_.data() + end;
      if (pbar_live) {
        // P⁺ = T·P̃·T' + RQR: dT·P̃·T' + T·P̃·dT' meets P̄ twice.
        if (nc > 0) {
          // The columns of T·P̃ in slot order, each read by every entry of
          // dT in its column.
          const double* tp = kept + (update ? m_ : 0);
          for (std::size_t q = 0; q < nc; ++q) {
            for (std::size_t b = 0; b < m_; ++b) tp_slotted[q * m_ + b] = tp[q * m_ + pbar.label(b)];
          }
          for (std::size_t j = 0; j < k_; ++j) {
            for (const auto& e : derivs_.dt_entries[j]) {
              const double dot = pbar.column_dot(e.row, tp_slotted.data() + slot_[e.col] * m_);
              grad[j] += 2.0 * e.value * dot;
            }
          }
        }
        for (std::size_t q = 0; q < rqr_at.size(); ++q) {
          Sbar[q] += pbar.at(rqr_at[q].first, rqr_at[q].second);
        }
        pbar.step();  // now P̃̄
        if (update) pbar.times(kept, u_slotted.data());
      }
      if (update) {
        const Eigen::Map<const Eigen::VectorXd> g(kept, m);
        const double w = v * f;
        const double wbar = g.dot(afilt_bar);
        double fbar = wbar * v;
        if (pbar_live) fbar -= pbar.g_slotted().dot(u_slotted);
        vbar += wbar * f;
        const double Fbar = -fbar * (f * f) + LF;
        // ḡ = w·ā − 2f·u, and p from it (u is zero until P̄ lives).
        const double f2 = 2.0 * f;
        const double half_fbar = 0.5 * Fbar;
        if (!pbar_live) u_slotted.setZero();
        for (std::size_t b = 0; b < m_; ++b) {
          const auto i = static_cast<Eigen::Index>(pbar.label(b));
          const auto s = static_cast<Eigen::Index>(b);
          p[s] = 0.5 * (w * afilt_bar[i] - f2 * u_slotted[s]) + half_fbar * Z[i];
        }
        pbar.add_outer(z_entries, Z, p.data());
        pbar_live = true;
      }
    }
    abar.swap(afilt_bar);  // the next step writes afilt_bar whole
    subtract_z_times(vbar, abar);
    for (std::size_t j = 0; j < k_; ++j) {
      const Vec& dd = derivs_.dobs_intercept[j];
      if (t < dd.size()) grad[j] -= vbar * dd[t];
    }
  }

  // The initial state, and R·Q·R' summed over the predictions.
  const Vec start = initial_state_adjoint(ss_, init_, derivs_, abar, pbar.logical());
  for (std::size_t j = 0; j < k_; ++j) {
    grad[j] += start[j];
    if (derivs_.drqr[j]) {
      // Both triangles: the off-diagonal entries count twice.
      const double* d = derivs_.drqr[j]->data();
      for (std::size_t q = 0; q < rqr_at.size(); ++q) {
        const auto [i, c] = rqr_at[q];
        const double both = i == c ? 1.0 : 2.0;
        grad[j] += both * (Sbar[q] * d[c * m_ + i]);
      }
    }
  }
  return grad;
}

}  // namespace peltaro::score
