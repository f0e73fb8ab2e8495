#include "peltaro/score/adjoint_pass.hpp"

#include <algorithm>
#include <optional>

#include "peltaro/core/kalman/covariance_kernel.hpp"
#include "peltaro/score/initial_derivatives.hpp"

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
      core::lower_column(s.cov.data(), m_, c, column_.data());
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

  // T' as a kernel of its own: T'·X·T (without RQR). It stays with the
  // thread from one pass to the next, for systems of up to
  // FilterSystem::MAX_KEPT_STATES states, and so keeps its plan while T' is
  // the same (T does not move with the MA coefficients, the variance or the
  // regressors' coefficients).
  thread_local core::SparseT tt;
  thread_local core::CovarianceKernel kept_transposed;
  std::optional<core::CovarianceKernel> own_transposed;
  tt.assign_transpose(system_.sparse_t);
  const Eigen::MatrixXd no_rqr;
  core::CovarianceKernel& transposed =
      m_ <= core::FilterSystem::MAX_KEPT_STATES ? kept_transposed : own_transposed.emplace();
  transposed.assign(tt, no_rqr);
  core::CovarianceWorkspace ws(m);

  Vec grad(k_, 0.0);
  Eigen::VectorXd abar = Eigen::VectorXd::Zero(m), afilt_bar(m), u(m);
  Eigen::VectorXd frozen_gbar = Eigen::VectorXd::Zero(m);
  double frozen_fbar = 0.0;
  Eigen::MatrixXd Pbar = Eigen::MatrixXd::Zero(m, m), Pnext_bar(m, m);
  // Σ of the P̄ that met R·Q·R', kept over the lower triangle only where
  // some dRQR_j = q·(dR·R' + R·dR') may not be zero: the pairs of the rows
  // where R or a dR is not zero (a few).
  std::vector<char> reached(m_, 0);
  for (const auto& d : derivs_.drqr) {
    if (!d) continue;
    core::for_each_nonzero(d->data(), 0, m_ * m_,
                           [&](std::size_t at, double) { reached[at / m_] = 1; });
  }
  std::vector<std::size_t> rqr_at;
  for (std::size_t c = 0; c < m_; ++c) {
    for (std::size_t i = c; i < m_ && reached[c]; ++i) {
      if (reached[i]) rqr_at.push_back(c * m_ + i);
    }
  }
  Vec Sbar(rqr_at.size(), 0.0);
  bool pbar_live = false;  // P̄ is zero until a covariance first matters

  // The products form P̄'s lower triangle. P̄ is exactly symmetric, and the
  // next step reads above the diagonal only the entries the kernel of T'
  // reads and the columns that meet dT whole: where those are few, each step
  // copies just them up (`lower`); otherwise the whole triangle, in the same
  // sweep as P̃̄·g.
  std::vector<std::size_t> dt_rows;
  for (const auto& entries : derivs_.dt_entries) {
    for (const auto& e : entries) dt_rows.push_back(e.row);
  }
  std::sort(dt_rows.begin(), dt_rows.end());
  dt_rows.erase(std::unique(dt_rows.begin(), dt_rows.end()), dt_rows.end());
  std::size_t reads = transposed.upper_read_count();
  for (const std::size_t r : dt_rows) reads += r;
  const bool lower = 4 * reads < m_ * (m_ - 1) / 2;
  auto complete = [&] {
    if (!lower) return;
    transposed.mirror_reads(Pbar);
    double* pb = Pbar.data();
    for (const std::size_t r : dt_rows) {
      for (std::size_t i = 0; i < r; ++i) pb[r * m_ + i] = pb[i * m_ + r];
    }
  };

  // P̄ += ½·(ḡ·Z' + Z·ḡ') + F̄·Z·Z' = Z·p' + p·Z' with p = ½·ḡ + ½·F̄·Z:
  // column c for every entry c of Z, and row c outside Z's entries (the runs
  // of rows where Z is zero, listed once); the entries of row c at Z's other
  // entries are in those columns. Each entry takes one value, the same as its
  // mirror (Z_i·p_c + p_i·Z_c rounds alike both ways). Over the lower
  // triangle alone (`lower`): column c from the diagonal down, row c left of
  // it.
  std::vector<std::pair<Eigen::Index, Eigen::Index>> off_z;
  for (Eigen::Index i = 0; i < m;) {
    while (i < m && Z[i] != 0.0) ++i;
    const Eigen::Index from = i;
    while (i < m && Z[i] == 0.0) ++i;
    if (i > from) off_z.emplace_back(from, i);
  }
  Eigen::VectorXd p(m);
  auto add_pz_terms = [&]() __attribute__((always_inline)) {
    double* pb = Pbar.data();
    for (const auto& ze : z_entries) {
      const auto c = static_cast<Eigen::Index>(ze.index);
      const double zc = Z[c];
      const double pc = p[c];
      double* col = pb + c * m;
      for (Eigen::Index i = lower ? c : 0; i < m; ++i) col[i] += Z[i] * pc + p[i] * zc;
      for (const auto& [from, to] : off_z) {
        const Eigen::Index end = lower ? std::min(to, c) : to;
        for (Eigen::Index i = from; i < end; ++i) pb[i * m + c] += p[i] * zc;
      }
    }
  };
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
    transposed.times_t(abar.data(), afilt_bar.data());

    double vbar = Lv;
    if (kind == StepKind::Steady) {
      const double w = v * f;
      const double wbar = frozen_pz_.dot(afilt_bar);
      frozen_gbar += w * afilt_bar;
      vbar += wbar * f;
      frozen_fbar += -(wbar * v) * (f * f) + LF;
      if (t == steady_from) {
        // P̄ of the frozen covariance, through g = P·Z and F = Z'P·Z.
        p = 0.5 * frozen_gbar + (0.5 * frozen_fbar) * Z;
        add_pz_terms();
        pbar_live = true;
      }
    } else {
      const bool update = kind == StepKind::Update;
      end -= (update ? m_ : 0) + m_ * nc;
      const double* kept = kept_.data() + end;
      if (pbar_live) {
        complete();
        // P⁺ = T·P̃·T' + RQR: dT·P̃·T' + T·P̃·dT' meets P̄ twice.
        const double* tp = kept + (update ? m_ : 0);
        for (std::size_t j = 0; j < k_; ++j) {
          for (const auto& e : derivs_.dt_entries[j]) {
            const double* col = tp + slot_[e.col] * m_;
            const double* pb = Pbar.col(static_cast<Eigen::Index>(e.row)).data();
            double dot = 0.0;
            for (std::size_t i = 0; i < m_; ++i) dot += col[i] * pb[i];
            grad[j] += 2.0 * e.value * dot;
          }
        }
        for (std::size_t q = 0; q < rqr_at.size(); ++q) Sbar[q] += Pbar.data()[rqr_at[q]];
        transposed.sandwich_triangle(Pbar, Pnext_bar, ws);
        Pbar.swap(Pnext_bar);  // now P̃̄
        if (lower) {
          if (update) core::lower_times(Pbar.data(), m_, kept, u.data());  // u = P̃̄·g
        } else if (update) {
          core::mirror_lower_times(Pbar.data(), m_, kept, u.data());
        } else {
          core::mirror_lower(Pbar.data(), m_);
        }
      } else {
        u.setZero();
      }
      if (update) {
        const Eigen::Map<const Eigen::VectorXd> g(kept, m);
        const double w = v * f;
        const double wbar = g.dot(afilt_bar);
        double fbar = wbar * v;
        if (pbar_live) fbar -= g.dot(u);
        vbar += wbar * f;
        const double Fbar = -fbar * (f * f) + LF;
        // ḡ = w·ā − 2f·u, and p from it.
        const double f2 = 2.0 * f;
        const double half_fbar = 0.5 * Fbar;
        for (Eigen::Index i = 0; i < m; ++i) {
          p[i] = 0.5 * (w * afilt_bar[i] - f2 * u[i]) + half_fbar * Z[i];
        }
        add_pz_terms();
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
  if (lower) core::mirror_lower(Pbar.data(), m_);
  const Vec start = initial_state_adjoint(ss_, init_, derivs_, abar, Pbar);
  for (std::size_t j = 0; j < k_; ++j) {
    grad[j] += start[j];
    if (derivs_.drqr[j]) {
      // Both triangles: the off-diagonal entries count twice.
      const double* d = derivs_.drqr[j]->data();
      for (std::size_t q = 0; q < rqr_at.size(); ++q) {
        const std::size_t at = rqr_at[q];
        const double both = at % m_ == at / m_ ? 1.0 : 2.0;
        grad[j] += both * (Sbar[q] * d[at]);
      }
    }
  }
  return grad;
}

}  // namespace peltaro::score
